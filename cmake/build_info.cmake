# Writes build_info.h with the git revision of the source tree at build time; run on every
# build, it rewrites the header only when the revision changed.
# Inputs: SOURCE_DIR, OUTPUT, VERSION, TESTED_SDK, TESTED_EMULATOR.
execute_process(COMMAND git -C "${SOURCE_DIR}" describe --always --dirty --abbrev=10
                OUTPUT_VARIABLE GIT_REVISION OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_QUIET RESULT_VARIABLE GIT_RESULT)
if(NOT GIT_RESULT EQUAL 0 OR GIT_REVISION STREQUAL "")
  set(GIT_REVISION "unknown")
endif()
file(WRITE "${OUTPUT}.new"
  "// Made by cmake/build_info.cmake at build time.\n"
  "#define VORN_VERSION \"${VERSION}\"\n"
  "#define VORN_GIT_REVISION \"${GIT_REVISION}\"\n"
  "#define VORN_TESTED_SDK \"${TESTED_SDK}\"\n"
  "#define VORN_TESTED_EMULATOR \"${TESTED_EMULATOR}\"\n")
configure_file("${OUTPUT}.new" "${OUTPUT}" COPYONLY)
file(REMOVE "${OUTPUT}.new")
