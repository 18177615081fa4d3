"""The agent's settings, read once from the environment it starts with."""
import base64
import binascii
from dataclasses import dataclass
from urllib.parse import quote, urlsplit

from .errors import StartupError
from .protocol import (
    BAD_KEY_MARKER, ENV_ACCESS_KEY, ENV_ENDPOINT, ENV_MEMORY_MIB, ENV_PROXY_ADDR, ENV_PROXY_AUTH,
    ENV_SCHEME, ENV_SECRET_KEY, ENV_STREAMS, ENV_USER_AGENT)

# Tuning for tests and odd networks; the plug-in never sets these.
ENV_TIMEOUT = "AZURE_AGENT_TIMEOUT"
ENV_PAGE_SIZE = "AZURE_AGENT_PAGE_SIZE"

DEFAULT_PAGE_SIZE = 5000
CONNECT_TIMEOUT = 20
READ_TIMEOUT = 60
# Parallel streams and the memory held by blocks and ranges moving ahead of the plug-in's
# requests, unless the host hands the agent its share.
DEFAULT_STREAMS = 16
DEFAULT_MEMORY_MIB = 64


@dataclass
class Settings:
    account: str
    key: str
    endpoint: str
    page_size: int
    connect_timeout: float
    read_timeout: float
    user_agent: str
    proxy: str
    streams: int
    memory: int

    def secrets(self):
        """Texts that no message may carry: the key, and a proxy URL holding credentials."""
        return [self.key] + ([self.proxy] if "@" in self.proxy else [])


def read_settings(env):
    account = env.get(ENV_ACCESS_KEY, "")
    key = env.get(ENV_SECRET_KEY, "")
    if not account:
        raise StartupError(f"{ENV_ACCESS_KEY} (the storage account name) is not set")
    if not key:
        raise StartupError(f"{ENV_SECRET_KEY} (the storage account key) is not set")
    try:
        base64.b64decode(key, validate=True)
    except binascii.Error:
        raise StartupError(f"{ENV_SECRET_KEY} {BAD_KEY_MARKER}") from None
    scheme = (env.get(ENV_SCHEME) or "https").lower()
    if scheme not in ("http", "https"):
        raise StartupError(f"{ENV_SCHEME} must be http or https")
    timeout = positive_number(env, ENV_TIMEOUT, float, None)
    proxy_user, _, proxy_password = env.get(ENV_PROXY_AUTH, "").partition(":")
    return Settings(
        account=account,
        key=key,
        endpoint=env.get(ENV_ENDPOINT) or f"{scheme}://{account}.blob.core.windows.net",
        page_size=positive_number(env, ENV_PAGE_SIZE, int, DEFAULT_PAGE_SIZE),
        connect_timeout=timeout or CONNECT_TIMEOUT,
        read_timeout=timeout or READ_TIMEOUT,
        user_agent=env.get(ENV_USER_AGENT, ""),
        proxy=proxy_url(env.get(ENV_PROXY_ADDR, ""), proxy_user, proxy_password),
        streams=positive_number(env, ENV_STREAMS, int, DEFAULT_STREAMS),
        memory=positive_number(env, ENV_MEMORY_MIB, int, DEFAULT_MEMORY_MIB) << 20,
    )


def positive_number(env, name, kind, default):
    text = env.get(name)
    if not text:
        return default
    try:
        value = kind(text)
    except ValueError:
        value = 0
    if not value > 0:
        raise StartupError(f"{name} must be a positive number")
    return value


def proxy_url(address, user, password):
    """The proxy as a URL carrying its credentials, or "" without a proxy."""
    if not address:
        return ""
    url = urlsplit(address if "://" in address else f"http://{address}")
    if not user:
        return url.geturl()
    host = url.netloc.rpartition("@")[2]
    return f"{url.scheme}://{quote(user, safe='')}:{quote(password, safe='')}@{host}"
