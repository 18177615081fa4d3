#include "vorn/backup/repository.h"

namespace VORN {
namespace Backup {

Repository::Repository() : m_id(0), m_hasOptions(false) {}

Repository::Repository(int id, const std::string &targetType, const std::string &transferType,
                       const OptionMap &options)
    : m_id(id), m_targetType(targetType), m_transferType(transferType), m_options(options),
      m_hasOptions(true) {}

int Repository::getId() const { return m_id; }
const std::string &Repository::getTargetType() const { return m_targetType; }
const std::string &Repository::getTransferType() const { return m_transferType; }
const OptionMap &Repository::getOptions() const { return m_options; }
bool Repository::hasOptions() const { return m_hasOptions; }

void Repository::setId(int id) { m_id = id; }
void Repository::setTargetType(const std::string &type) { m_targetType = type; }
void Repository::setTransferType(const std::string &type) { m_transferType = type; }

void Repository::setOptions(const OptionMap &options) {
    m_options = options;
    m_hasOptions = true;
}

} // namespace Backup
} // namespace VORN
