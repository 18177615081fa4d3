#include "vorn/backup/file_info.h"

namespace VORN {
namespace Backup {

FileInfo::FileInfo(const std::string &rpath)
    : m_rpath(rpath), m_type(TYPE_NONE), m_size(0), m_mtime(0) {}

void FileInfo::clear() {
    m_type = TYPE_NONE;
    m_size = 0;
    m_mtime = 0;
    m_checksum.clear();
}

void FileInfo::setRegType() { m_type = TYPE_REG; }
void FileInfo::setDirType() { m_type = TYPE_DIR; }
bool FileInfo::isRegType() const { return m_type == TYPE_REG; }
bool FileInfo::isDirType() const { return m_type == TYPE_DIR; }
FileInfo::Type FileInfo::getType() const { return m_type; }

void FileInfo::setSize(long long size) { m_size = size; }
long long FileInfo::getSize() const { return m_size; }
void FileInfo::setMtime(long mtime) { m_mtime = mtime; }
long FileInfo::getMtime() const { return m_mtime; }
void FileInfo::setChecksum(const std::string &checksum) { m_checksum = checksum; }
const std::string &FileInfo::getChecksum() const { return m_checksum; }
void FileInfo::setRpath(const std::string &rpath) { m_rpath = rpath; }
const std::string &FileInfo::getRpath() const { return m_rpath; }

} // namespace Backup
} // namespace VORN
