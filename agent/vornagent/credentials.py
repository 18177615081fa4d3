"""The credential the agent was given at its start, and the service client that signs with it.

Beside the account name the plug-in hands over exactly one credential: the account key, a SAS
token, or the word to use Microsoft Entra ID, whose tokens come from azure-identity: a service
principal described by the environment (AZURE_CLIENT_ID, AZURE_TENANT_ID and AZURE_CLIENT_SECRET
or a certificate), else the managed identity of the machine, else the Azure CLI's login.
"""
import base64
import binascii
import datetime
import re
from dataclasses import dataclass, field
from urllib.parse import parse_qs, quote, unquote

from azure.core.credentials import AzureSasCredential
from azure.core.exceptions import ClientAuthenticationError, HttpResponseError
from azure.storage.blob import BlobServiceClient

from .errors import StartupError, first_line
from .protocol import (
    BAD_KEY_MARKER, CODE_AUTHENTICATION_FAILED, ENV_ACCESS_KEY, ENV_SAS_TOKEN, ENV_SECRET_KEY,
    ENV_USE_ENTRA_ID, FN_COMMIT_BLOB_BLOCKS, FN_CREATE_BLOB_BLOCK, FN_CREATE_BLOCK_BLOB,
    FN_CREATE_CONTAINER, FN_DELETE_BLOB, FN_GET_BLOB, FN_GET_BLOB_PROPERTIES,
    FN_GET_CONTAINER_PROPERTIES, FN_LIST_BLOBS, FN_LIST_CONTAINERS)

KEY = "account key"
SAS = "SAS token"
ENTRA = "Microsoft Entra ID"

CREDENTIAL_VARIABLES = {ENV_SECRET_KEY: KEY, ENV_SAS_TOKEN: SAS, ENV_USE_ENTRA_ID: ENTRA}
# Secrets of the identity chain that the agent may meet in an error text.
IDENTITY_SECRETS = ("AZURE_CLIENT_SECRET", "AZURE_CLIENT_CERTIFICATE_PASSWORD", "AZURE_PASSWORD")
# Names a sign-in service other than Microsoft's own.
ENV_AUTHORITY_HOST = "AZURE_AUTHORITY_HOST"

NOT_AUTHENTICATED = 401
ACCESS_DENIED = 403

# What each action asks of a SAS token (its permission letter) and of an Entra ID role.
READ = ("read (r)", "Storage Blob Data Reader")
LIST = ("list (l)", "Storage Blob Data Reader")
WRITE = ("write (w)", "Storage Blob Data Contributor")
DELETE = ("delete (d)", "Storage Blob Data Contributor")
CREATE = ("create (c)", "Storage Blob Data Contributor")
NEEDS = {
    FN_GET_CONTAINER_PROPERTIES: READ, FN_GET_BLOB_PROPERTIES: READ, FN_GET_BLOB: READ,
    FN_LIST_BLOBS: LIST, FN_LIST_CONTAINERS: LIST, FN_DELETE_BLOB: DELETE,
    FN_CREATE_BLOCK_BLOB: WRITE, FN_CREATE_BLOB_BLOCK: WRITE, FN_COMMIT_BLOB_BLOCKS: WRITE,
    FN_CREATE_CONTAINER: CREATE,
}
PERMISSION_NAMES = {"r": "read", "a": "add", "c": "create", "w": "write", "d": "delete",
                    "l": "list", "x": "delete versions", "t": "tags", "f": "filter"}

# The service's words for a SAS that does not reach what it was used on.
SAS_MISMATCHES = {
    "AuthorizationResourceTypeMismatch": "does not cover this kind of resource (its srt= field)",
    "AuthorizationServiceMismatch": "is not for the blob service (its ss= field)",
    "AuthorizationSourceIPMismatch": "does not allow this host's address (its sip= field)",
    "AuthorizationProtocolMismatch": "allows another protocol (its spr= field)",
}

SIGNATURE = re.compile(r"(?i)(sig=)[^&\s'\"]+")


@dataclass(frozen=True)
class Credential:
    kind: str
    account: str
    secret: str = ""
    # The fields of a SAS token (sp, se, sr, ...), each with its first value.
    fields: dict = field(default_factory=dict)
    # Texts that must never leave the agent.
    secrets: tuple = ()
    # Entra ID only: the sign-in service is one the environment names.
    named_authority: bool = False

    @property
    def container_scoped(self):
        """A service SAS of one container: it cannot read the container's own properties."""
        return self.kind == SAS and self.fields.get("sr") == "c"


def read_credential(env):
    """The credential the environment hands the agent; StartupError when it is not exactly one."""
    account = env.get(ENV_ACCESS_KEY, "")
    if not account:
        raise StartupError(f"{ENV_ACCESS_KEY} (the storage account name) is not set")
    given = [name for name in CREDENTIAL_VARIABLES if env.get(name)]
    if len(given) > 1:
        raise StartupError(f"more than one credential is set ({', '.join(given)}): give one")
    if not given:
        raise StartupError(f"{ENV_SECRET_KEY} (the storage account key) is not set")
    kind = CREDENTIAL_VARIABLES[given[0]]
    if kind == KEY:
        return key_credential(account, env[ENV_SECRET_KEY])
    if kind == SAS:
        return sas_credential(account, env[ENV_SAS_TOKEN])
    return Credential(ENTRA, account, secrets=tuple(env[name] for name in IDENTITY_SECRETS if env.get(name)),
                      named_authority=bool(env.get(ENV_AUTHORITY_HOST)))


def key_credential(account, key):
    try:
        base64.b64decode(key, validate=True)
    except binascii.Error:
        raise StartupError(f"{ENV_SECRET_KEY} {BAD_KEY_MARKER}") from None
    return Credential(KEY, account, key, secrets=(key,))


def sas_credential(account, text):
    token = text.strip().lstrip("?")
    fields = {name: values[0] for name, values in parse_qs(token, keep_blank_values=True).items()}
    if not fields.get("sv") or not fields.get("sig"):
        raise StartupError(f"{ENV_SAS_TOKEN} is not a SAS token (it needs its sv= and sig= fields)")
    signature = fields["sig"]
    # The signature may show percent-encoded or not, depending on who quotes a URL.
    forms = {token, signature, unquote(signature), quote(unquote(signature), safe="")}
    return Credential(SAS, account, token, fields, tuple(forms))


def make_service_client(endpoint, credential, **options):
    """The blob service client at endpoint that signs every request with the credential;
    options are the client's own."""
    if credential.kind == KEY:
        signer = {"account_name": credential.account, "account_key": credential.secret}
    elif credential.kind == SAS:
        # As a credential, not in the URL: the agent's own requests get it through the pipeline.
        signer = AzureSasCredential(credential.secret)
    else:
        signer = IdentityChain(credential.named_authority)
    return BlobServiceClient(endpoint, credential=signer, **options)


class IdentityChain:
    """azure-identity's usual sources, in order.  Unlike ChainedTokenCredential it fails with
    one line that says what each source answered."""

    def __init__(self, named_authority):
        # Imported only here: the other credentials need none of it, and it costs start-up time.
        from azure.identity import AzureCliCredential, EnvironmentCredential, ManagedIdentityCredential
        # A sign-in service named in AZURE_AUTHORITY_HOST is taken as named: asking Microsoft's
        # discovery service about a host it does not know would fail.  (Debian's azure-identity
        # calls the option instance_discovery.)
        named = {"instance_discovery": False} if named_authority else {}
        self._sources = [("environment", EnvironmentCredential(**named)),
                         ("managed identity", ManagedIdentityCredential()),
                         ("Azure CLI", AzureCliCredential())]

    def get_token(self, *scopes, **kwargs):
        from azure.identity import CredentialUnavailableError
        unavailable = []
        for name, source in self._sources:
            try:
                return source.get_token(*scopes, **kwargs)
            except CredentialUnavailableError as error:
                unavailable.append(f"{name}: {first_line(error) or type(error).__name__}")
            except ClientAuthenticationError as error:
                why = first_line(error) or type(error).__name__
                raise ClientAuthenticationError(f"{name}: {why}") from None
        raise ClientAuthenticationError("no source of a token: " + "; ".join(unavailable))


def scrub(text, secrets):
    """The text without any of the secrets, nor any SAS signature."""
    for secret in secrets:
        text = text.replace(secret, "***")
    return SIGNATURE.sub(r"\1***", text)


def explain(credential, action, error, code, message):
    """The response's code and message for a failed action, in words that name the credential's
    part in it: a missing permission or role, an expired token, a refused sign-in."""
    status = error.status_code if isinstance(error, HttpResponseError) else None
    if isinstance(error, ClientAuthenticationError) and status is None:
        return CODE_AUTHENTICATION_FAILED, f"no {ENTRA} token: {first_line(error)}"
    service_code = service_error_code(error)
    if status == ACCESS_DENIED and service_code == "AuthorizationPermissionMismatch":
        return ACCESS_DENIED, missing_permission(credential, action)
    if credential.kind == SAS and service_code in SAS_MISMATCHES:
        return ACCESS_DENIED, f"the SAS token {SAS_MISMATCHES[service_code]}"
    if code == CODE_AUTHENTICATION_FAILED or status == NOT_AUTHENTICATED:
        return CODE_AUTHENTICATION_FAILED, refused(credential, action, message)
    return code, message


def service_error_code(error):
    """The service's error code ("BlobNotFound"), whether the SDK knows it as a member of its
    enumeration or not; "" without one."""
    code = getattr(error, "error_code", None)
    return getattr(code, "value", code) or ""


def missing_permission(credential, action):
    permission, role = NEEDS.get(action, ("this", "Storage Blob Data Contributor"))
    if credential.kind == SAS:
        granted = ", ".join(PERMISSION_NAMES.get(letter, letter) for letter in credential.fields.get("sp", ""))
        return f"the SAS token lacks the {permission} permission this needs (it grants: {granted or 'nothing'})"
    if credential.kind == ENTRA:
        return (f"the signed-in identity has no role allowing this: it needs {role} "
                f"on the account or container")
    return "the account key may not do this (AuthorizationPermissionMismatch)"


def refused(credential, action, message):
    """Why the service did not accept the credential, as far as the agent can tell."""
    if credential.kind == KEY:
        return f"the service refused the account name or key: {message}"
    if credential.kind == ENTRA:
        return f"the service refused the {ENTRA} token: {message}"
    now = datetime.datetime.now(datetime.timezone.utc)
    expiry, start = sas_time(credential.fields.get("se")), sas_time(credential.fields.get("st"))
    if expiry and expiry <= now:
        return f"the SAS token expired at {credential.fields['se']}: give a fresh one"
    if start and start > now:
        return f"the SAS token is not valid before {credential.fields['st']}"
    if credential.container_scoped and action in (FN_LIST_CONTAINERS, FN_CREATE_CONTAINER):
        return "a container's SAS token cannot list or create containers"
    policy = credential.fields.get("si")
    revoked = f", or its access policy {policy} was revoked" if policy else ""
    return f"the service refused the SAS token: signed for another account or container, or altered{revoked}"


def sas_time(text):
    """A SAS token's time (date, or date and UTC time), None when absent or unreadable."""
    if not text:
        return None
    try:
        moment = datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
    except ValueError:
        return None
    return moment if moment.tzinfo else moment.replace(tzinfo=datetime.timezone.utc)

