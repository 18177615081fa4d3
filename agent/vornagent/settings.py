"""The agent's settings, read once from the environment it starts with."""
from dataclasses import dataclass
from urllib.parse import quote, urlsplit

from .credentials import Credential, read_credential
from .errors import StartupError
from .protocol import (
    ENV_ENDPOINT, ENV_MEMORY_MIB, ENV_PROXY_ADDR, ENV_PROXY_AUTH, ENV_SCHEME, ENV_STREAMS,
    ENV_USER_AGENT)

# Tuning for tests and odd networks; the plug-in never sets these.
ENV_TIMEOUT = "AZURE_AGENT_TIMEOUT"
ENV_PAGE_SIZE = "AZURE_AGENT_PAGE_SIZE"
# The storage requests ignore the environment (see client.py), but a private certificate
# authority still has to be trusted.
ENV_CA_BUNDLE = "REQUESTS_CA_BUNDLE"

DEFAULT_PAGE_SIZE = 5000
CONNECT_TIMEOUT = 20
READ_TIMEOUT = 60
# Parallel streams and the memory held by blocks and ranges moving ahead of the plug-in's
# requests, unless the host hands the agent its share.
DEFAULT_STREAMS = 16
DEFAULT_MEMORY_MIB = 64


@dataclass
class Settings:
    credential: Credential
    endpoint: str
    page_size: int
    connect_timeout: float
    read_timeout: float
    user_agent: str
    proxy: str
    ca_bundle: str
    streams: int
    memory: int

    def secrets(self):
        """Texts that no message may carry: the credential's, and a proxy URL holding credentials."""
        return [*self.credential.secrets] + ([self.proxy] if "@" in self.proxy else [])


def read_settings(env):
    credential = read_credential(env)
    scheme = (env.get(ENV_SCHEME) or "https").lower()
    if scheme not in ("http", "https"):
        raise StartupError(f"{ENV_SCHEME} must be http or https")
    timeout = positive_number(env, ENV_TIMEOUT, float, None)
    proxy_user, _, proxy_password = env.get(ENV_PROXY_AUTH, "").partition(":")
    return Settings(
        credential=credential,
        endpoint=env.get(ENV_ENDPOINT) or f"{scheme}://{credential.account}.blob.core.windows.net",
        page_size=positive_number(env, ENV_PAGE_SIZE, int, DEFAULT_PAGE_SIZE),
        connect_timeout=timeout or CONNECT_TIMEOUT,
        read_timeout=timeout or READ_TIMEOUT,
        user_agent=env.get(ENV_USER_AGENT, ""),
        proxy=proxy_url(env.get(ENV_PROXY_ADDR, ""), proxy_user, proxy_password),
        ca_bundle=env.get(ENV_CA_BUNDLE, ""),
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
