// The target side of a tree command: its listing and its manifest.
#ifndef VORN_CLI_REMOTE_TREE_H
#define VORN_CLI_REMOTE_TREE_H

#include <map>
#include <string>

#include "manifest.h"
#include "vorn/backup/file_info.h"
#include "vorn/backup/transfer_agent.h"

namespace vorncli {

// "what went wrong (error N)" for the agent's last failure.
std::string agentFailure(const VORN::Backup::TransferAgent &agent);

// Every blob below the target, the target's own records included, by relative path.
bool listTarget(VORN::Backup::TransferAgent &agent,
                std::map<std::string, VORN::Backup::FileInfo> &blobs, std::string &error);

// The target's manifest; `found` false (and true returned) when the target has none.
bool fetchManifest(VORN::Backup::TransferAgent &agent, ManifestEntries &entries, bool &found,
                   std::string &error);

// Replaces the target's manifest with `entries` in one upload.
bool storeManifest(VORN::Backup::TransferAgent &agent, const ManifestEntries &entries,
                   std::string &error);

} // namespace vorncli

#endif
