// The words of the channel between the plug-in and its agent: codes, actions, members, phrases,
// sizes and the start environment. agent/vornagent/protocol.py holds the same table under the
// same names, and a test keeps the two equal; each side holds the whole table.
#ifndef VORN_PLUGIN_AGENT_PROTOCOL_H
#define VORN_PLUGIN_AGENT_PROTOCOL_H

namespace VORN {
namespace Backup {

// The agent's own error codes; positive codes are the service's HTTP statuses.
enum AgentCode {
    CODE_GENERAL_FAILURE = -1, // also what a response without "error_code" reads as
    CODE_AUTHENTICATION_FAILED = -2,
    CODE_CANCELLED = -3,
    CODE_NETWORK_FAILURE = -4,
    CODE_BAD_REQUEST = -5,
};

// Actions: the request member "fn".
const char *const FN_GET_CONTAINER_PROPERTIES = "getContainerProperties";
const char *const FN_GET_BLOB_PROPERTIES = "getBlobProperties";
const char *const FN_LIST_BLOBS = "listBlobs";
const char *const FN_DELETE_BLOB = "deleteBlob";
const char *const FN_CREATE_BLOCK_BLOB = "createBlockBlob";
const char *const FN_CREATE_BLOB_BLOCK = "createBlobBlock";
const char *const FN_COMMIT_BLOB_BLOCKS = "commitBlobBlocks";
const char *const FN_GET_BLOB = "getBlob";
const char *const FN_LIST_CONTAINERS = "listContainers";
const char *const FN_CREATE_CONTAINER = "createContainer";

// Request members.
const char *const KEY_FN = "fn";
const char *const KEY_CONTAINER = "container";
const char *const KEY_BLOB = "blob";
const char *const KEY_FILE_INPUT = "fileInput";
const char *const KEY_FILE_OUTPUT = "fileOutput";
const char *const KEY_COUNTER = "counter";
const char *const KEY_PREFIX = "Prefix";
const char *const KEY_MARKER = "Marker";
const char *const KEY_DELIMITER = "Delimiter";
const char *const KEY_RANGE_START = "RangeStart";
const char *const KEY_RANGE_END = "RangeEnd";

// Response members: the envelope, then the actions' own.
const char *const KEY_SUCCESS = "success";
const char *const KEY_ERROR_CODE = "error_code";
const char *const KEY_ERROR_MESSAGE = "error_message";
const char *const KEY_PROPERTIES = "Properties";
const char *const KEY_LAST_MODIFIED = "LastModified";
const char *const KEY_CONTENT_LENGTH = "ContentLength";
const char *const KEY_ETAG = "ETag";
const char *const KEY_NEXT_MARKER = "NextMarker";
const char *const KEY_COUNT = "count";
const char *const KEY_FOLDERS = "folder";
const char *const KEY_FILES = "file";
const char *const KEY_NAME = "Name";
const char *const KEY_CONTAINERS = "container";
const char *const KEY_SKIPPED_BYTES = "SkippedBytes";

// Phrases one side writes and the other looks for.
const char *const READY_LINE = "start";
const char *const BAD_KEY_MARKER = "is not a valid base64 string";
const char *const USER_CANCELED = "user canceled";
const char *const LOOKUP_FAILED = "Temporary failure in name resolution";
const char *const TIMED_OUT = "timed out";
const char *const INTEGRITY_FAILED = "integrity check failed";
const char *const INTEGRITY_OF_DATA_READ = "data read";
const char *const ARCHIVED_BLOB = "archived blob";
const char *const KEY_OF_OTHER_ACCOUNT = "One of the request inputs is out of range.";
// Begins a line the agent writes on standard error for its host to read.
const char *const REPORT_PREFIX = "azure_agent report: ";

// Sizes the plug-in cuts transfers by. Below the single-request limit a file is uploaded in one
// request and the agent reads it itself; a larger one goes as numbered blocks of BLOCK_SIZE, at
// most MAX_BLOCKS of them. A blob of up to RANGE_SIZE is fetched in one request, a larger one
// in ranges of that length.
const long long SINGLE_REQUEST_LIMIT_HTTPS = 4LL << 20;
const long long SINGLE_REQUEST_LIMIT_HTTP = 32LL << 20;
const long long BLOCK_SIZE = 4LL << 20;
const long long MAX_BLOCKS = 50000;
const long long RANGE_SIZE = 10LL << 20;

// The environment the agent starts with.
const char *const ENV_ACCESS_KEY = "AZURE_ACCESS_KEY";
const char *const ENV_SECRET_KEY = "AZURE_SECRET_KEY";
// Instead of the key: a SAS token, or "1" to sign in with Microsoft Entra ID. Exactly one of
// the three is set.
const char *const ENV_SAS_TOKEN = "AZURE_SAS_TOKEN";
const char *const ENV_USE_ENTRA_ID = "AZURE_USE_ENTRA_ID";
const char *const ENV_SCHEME = "AZURE_SCHEME";
const char *const ENV_USER_AGENT = "VORN_USER_AGENT";
const char *const ENV_PROXY_ADDR = "VORN_PROXY_ADDR";
const char *const ENV_PROXY_AUTH = "VORN_PROXY_AUTH";
const char *const ENV_ENDPOINT = "AZURE_BLOB_ENDPOINT";
const char *const ENV_STREAMS = "AZURE_AGENT_STREAMS";
const char *const ENV_MEMORY_MIB = "AZURE_AGENT_MEMORY_MIB";

} // namespace Backup
} // namespace VORN

#endif
