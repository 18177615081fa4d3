"""The agent's one client of the storage service, and its clients of containers and blobs."""
import requests
from azure.core.pipeline.transport import RequestsTransport
from urllib3.util.retry import Retry

from .credentials import make_service_client
from .errors import StartupError
from .protocol import SINGLE_REQUEST_LIMIT_HTTP

# Piece size of uploads beyond the single-request limit, and of reads: whole reads above it
# and read-ahead ranges travel as pieces of this size over parallel streams.
TRANSFER_CHUNK = 8 * 1024 * 1024
READ_PIECE = 4 * 1024 * 1024


def make_service(settings):
    """The one client, and so the one connection pool, of the agent's life."""
    options = {}
    if settings.user_agent:
        options["user_agent"] = settings.user_agent
    if settings.proxy:
        options["proxies"] = {"http": settings.proxy, "https": settings.proxy}
    try:
        return make_service_client(
            settings.endpoint,
            settings.credential,
            # The host retries a failed request; the agent makes one attempt.
            retry_total=0,
            transport=make_transport(settings),
            # The plug-in names files below this limit for one request; the agent holds them
            # in memory.
            max_single_put_size=SINGLE_REQUEST_LIMIT_HTTP,
            max_block_size=TRANSFER_CHUNK,
            max_single_get_size=READ_PIECE,
            max_chunk_get_size=READ_PIECE,
            connection_data_block_size=64 * 1024,
            # The host's proxy settings are the only ones; this also spares a
            # scan of the environment on every request.
            use_env_settings=False,
            **options)
    except ValueError as error:
        raise StartupError(f"cannot use the blob endpoint: {error}") from None


def make_transport(settings):
    """A connection pool with room for every stream, so that parallel requests
    keep their connections open."""
    session = requests.Session()
    session.trust_env = False
    adapter = requests.adapters.HTTPAdapter(
        pool_maxsize=settings.streams + 2,
        max_retries=Retry(total=False, redirect=False, raise_on_status=False))
    for scheme in ("http://", "https://"):
        session.mount(scheme, adapter)
    return RequestsTransport(session=session, connection_timeout=settings.connect_timeout,
                             read_timeout=settings.read_timeout, use_env_settings=False,
                             connection_verify=settings.ca_bundle or True)


class Clients:
    """Container clients made once each, and the blob clients below them."""

    def __init__(self, service):
        self.service = service
        self._containers = {}

    def container(self, name):
        client = self._containers.get(name)
        if client is None:
            client = self._containers[name] = self.service.get_container_client(name)
        return client

    def blob(self, container, blob):
        return self.container(container).get_blob_client(blob)
