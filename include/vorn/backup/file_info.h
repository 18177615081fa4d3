// FileInfo: one remote entry (relative path, type, size, modification time, checksum).
#ifndef VORN_BACKUP_FILE_INFO_H
#define VORN_BACKUP_FILE_INFO_H

#include <string>

namespace VORN {
namespace Backup {

class FileInfo {
public:
    enum Type { TYPE_NONE, TYPE_REG, TYPE_DIR };

    explicit FileInfo(const std::string &rpath = "");

    // Forgets type, size, time and checksum; the relative path stays.
    void clear();

    void setRegType();
    void setDirType();
    bool isRegType() const;
    bool isDirType() const;
    Type getType() const;

    void setSize(long long size);
    long long getSize() const;
    void setMtime(long mtime);
    long getMtime() const;
    void setChecksum(const std::string &checksum);
    const std::string &getChecksum() const;
    void setRpath(const std::string &rpath);
    const std::string &getRpath() const;

private:
    std::string m_rpath;
    Type m_type;
    long long m_size;
    long m_mtime;
    std::string m_checksum;
};

} // namespace Backup
} // namespace VORN

#endif
