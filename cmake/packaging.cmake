# A Debian package of what `cmake --install` installs, under /usr: `cpack -G DEB` in the build
# directory (./dev package).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorn-azure-blob)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "vorn-azure-blob maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Azure Blob Storage destination plug-in for the VORN backup framework, with vorn-azure")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The agent runs under /usr/bin/python with Debian's Azure SDK.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python-is-python3, python3-azure-storage")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${VORN_FRAMEWORK_LIB_DIR})
include(CPack)
