"""The words of the channel between the plug-in and the agent.

plugin/agent_protocol.h holds the same table for the C++ side, under the same names, and a test
keeps the two equal; each side holds the whole table, whether it uses an entry or not.
"""

# The agent's own error codes; positive codes are the service's HTTP statuses.
CODE_GENERAL_FAILURE = -1
CODE_AUTHENTICATION_FAILED = -2
CODE_CANCELLED = -3
CODE_NETWORK_FAILURE = -4
CODE_BAD_REQUEST = -5

# Actions: the request member "fn".
FN_GET_CONTAINER_PROPERTIES = "getContainerProperties"
FN_GET_BLOB_PROPERTIES = "getBlobProperties"
FN_LIST_BLOBS = "listBlobs"
FN_DELETE_BLOB = "deleteBlob"
FN_CREATE_BLOCK_BLOB = "createBlockBlob"
FN_CREATE_BLOB_BLOCK = "createBlobBlock"
FN_COMMIT_BLOB_BLOCKS = "commitBlobBlocks"
FN_GET_BLOB = "getBlob"
FN_LIST_CONTAINERS = "listContainers"
FN_CREATE_CONTAINER = "createContainer"

# Request members.
KEY_FN = "fn"
KEY_CONTAINER = "container"
KEY_BLOB = "blob"
KEY_FILE_INPUT = "fileInput"
KEY_FILE_OUTPUT = "fileOutput"
KEY_COUNTER = "counter"
KEY_PREFIX = "Prefix"
KEY_MARKER = "Marker"
KEY_DELIMITER = "Delimiter"
KEY_RANGE_START = "RangeStart"
KEY_RANGE_END = "RangeEnd"

# Response members: the envelope, then the actions' own.
KEY_SUCCESS = "success"
KEY_ERROR_CODE = "error_code"
KEY_ERROR_MESSAGE = "error_message"
KEY_PROPERTIES = "Properties"
KEY_LAST_MODIFIED = "LastModified"
KEY_CONTENT_LENGTH = "ContentLength"
KEY_ETAG = "ETag"
KEY_NEXT_MARKER = "NextMarker"
KEY_COUNT = "count"
KEY_FOLDERS = "folder"
KEY_FILES = "file"
KEY_NAME = "Name"
KEY_CONTAINERS = "container"
KEY_SKIPPED_BYTES = "SkippedBytes"

# Phrases one side writes and the other looks for.
READY_LINE = "start"
BAD_KEY_MARKER = "is not a valid base64 string"
USER_CANCELED = "user canceled"
LOOKUP_FAILED = "Temporary failure in name resolution"
TIMED_OUT = "timed out"
INTEGRITY_FAILED = "integrity check failed"
INTEGRITY_OF_DATA_READ = "data read"
ARCHIVED_BLOB = "archived blob"
KEY_OF_OTHER_ACCOUNT = "One of the request inputs is out of range."
# Begins a line the agent writes on standard error for its host to read.
REPORT_PREFIX = "azure_agent report: "

# Sizes the plug-in cuts transfers by.
SINGLE_REQUEST_LIMIT_HTTPS = 4 << 20
SINGLE_REQUEST_LIMIT_HTTP = 32 << 20
BLOCK_SIZE = 4 << 20
MAX_BLOCKS = 50000
RANGE_SIZE = 10 << 20

# The environment the agent starts with.
ENV_ACCESS_KEY = "AZURE_ACCESS_KEY"
ENV_SECRET_KEY = "AZURE_SECRET_KEY"
# Instead of the key: a SAS token, or "1" to sign in with Microsoft Entra ID.  Exactly one of
# the three is set.
ENV_SAS_TOKEN = "AZURE_SAS_TOKEN"
ENV_USE_ENTRA_ID = "AZURE_USE_ENTRA_ID"
ENV_SCHEME = "AZURE_SCHEME"
ENV_USER_AGENT = "VORN_USER_AGENT"
ENV_PROXY_ADDR = "VORN_PROXY_ADDR"
ENV_PROXY_AUTH = "VORN_PROXY_AUTH"
ENV_ENDPOINT = "AZURE_BLOB_ENDPOINT"
ENV_STREAMS = "AZURE_AGENT_STREAMS"
ENV_MEMORY_MIB = "AZURE_AGENT_MEMORY_MIB"
