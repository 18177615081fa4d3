"""SAS tokens of each scope and permission set against the emulator, and the words the agent finds
for a refused credential."""
import datetime
import uuid

import pytest
from azure.core.exceptions import ClientAuthenticationError, HttpResponseError
from azure.storage.blob import (AccountSasPermissions, ContainerSasPermissions, ResourceTypes,
                                generate_account_sas, generate_container_sas)

from azurite_server import ACCOUNT, KEY, endpoint_at, loopback_socket
from vornagent import credentials

NOW = datetime.datetime.now(datetime.timezone.utc)
HOUR = datetime.timedelta(hours=1)


def container_sas(container, expiry=NOW + HOUR, **permissions):
    return generate_container_sas(ACCOUNT, container, KEY, permission=ContainerSasPermissions(**permissions),
                                  start=NOW - 2 * HOUR, expiry=expiry)


def account_sas(resource_types, **permissions):
    return generate_account_sas(ACCOUNT, KEY, resource_types, AccountSasPermissions(**permissions), expiry=NOW + HOUR)


# token maker (given the container): [(fn, extra members, expected code, words in the message)]
SAS_CASES = {
    "container SAS without delete": (
        lambda c: container_sas(c, read=True, write=True, list=True, create=True), [
            ("getContainerProperties", {}, None, ""),
            ("createBlockBlob", {"blob": "new"}, None, ""),
            ("deleteBlob", {"blob": "new"}, 403, "lacks the delete (d) permission"),
            ("deleteBlob", {"blob": "never-there"}, 403, "lacks the delete (d) permission"),
            ("listContainers", {}, -2, "cannot list or create containers"),
        ]),
    "read-only container SAS": (
        lambda c: container_sas(c, read=True, list=True), [
            ("getBlob", {"blob": "kept"}, None, ""),
            ("createBlockBlob", {"blob": "new"}, 403,
             "lacks the write (w) permission this needs (it grants: read, list)"),
        ]),
    "account SAS for blobs only": (
        lambda c: account_sas(ResourceTypes(object=True), read=True, write=True, delete=True, list=True), [
            ("getBlobProperties", {"blob": "kept"}, None, ""),
            ("deleteBlob", {"blob": "never-there"}, 404, ""),
            ("getContainerProperties", {}, 403, "does not cover this kind of resource"),
        ]),
    "expired SAS": (
        lambda c: container_sas(c, expiry=NOW - HOUR, read=True, write=True, delete=True, list=True), [
            ("getBlobProperties", {"blob": "kept"}, -2, "the SAS token expired at "),
        ]),
}


@pytest.mark.parametrize("make_token, steps", SAS_CASES.values(), ids=SAS_CASES.keys())
def test_a_sas_token_is_used_as_given_and_its_refusals_name_what_it_lacks(start_agent, service, tmp_path,
                                                                         make_token, steps):
    name = f"c{uuid.uuid4().hex}"
    service.create_container(name)
    service.get_blob_client(name, "kept").upload_blob(b"kept content")
    (tmp_path / "in").write_bytes(b"new content")
    token = make_token(name)
    agent = start_agent(AZURE_SECRET_KEY=None, AZURE_SAS_TOKEN=token)
    assert agent.first_line == "start"
    for fn, members, code, words in steps:
        files = {"fileInput": str(tmp_path / "in"), "fileOutput": str(tmp_path / "out")}
        reply = agent.call(fn, container=name, **members, **files)
        assert (reply.get("error_code"), words in reply.get("error_message", "")) == (code, True), (fn, reply)
    assert service.get_blob_client(name, "kept").download_blob().readall() == b"kept content"
    signature = dict(field.split("=", 1) for field in token.split("&"))["sig"]
    assert signature not in agent.stderr()


def test_no_signature_leaves_the_agent_in_a_message(start_agent):
    token = container_sas("abc", read=True)
    with loopback_socket(listen=False) as closed:
        agent = start_agent(AZURE_SECRET_KEY=None, AZURE_SAS_TOKEN=token,
                            AZURE_BLOB_ENDPOINT=endpoint_at(closed.getsockname()[1]))
        reply = agent.call("getBlobProperties", container="abc", blob="b")
    signature = dict(field.split("=", 1) for field in token.split("&"))["sig"]
    assert reply["error_code"] == -4 and signature not in reply["error_message"]
    # Whoever quotes a URL, the signature goes, in either form.
    text = f"GET /abc/b?sv=1&sig={signature} and sig=other%2Bsig&x=1"
    assert credentials.scrub(text, []) == "GET /abc/b?sv=1&sig=*** and sig=***&x=1"


def refusal(status, service_code):
    error = HttpResponseError(message="This request is not authorized to perform this operation.")
    error.status_code, error.error_code = status, service_code
    return error


ENTRA = credentials.Credential(credentials.ENTRA, ACCOUNT)
OWN_KEY = credentials.Credential(credentials.KEY, ACCOUNT, KEY)


# (credential, action, error, code the description gave) -> (code, words)
@pytest.mark.parametrize("credential, action, error, code, expected", [
    (ENTRA, "deleteBlob", refusal(403, "AuthorizationPermissionMismatch"), 403,
     (403, "needs Storage Blob Data Contributor")),
    (ENTRA, "listBlobs", refusal(403, "AuthorizationPermissionMismatch"), 403,
     (403, "needs Storage Blob Data Reader")),
    (ENTRA, "getBlob", ClientAuthenticationError("environment: AADSTS7000215: Invalid client secret"), -1,
     (-2, "no Microsoft Entra ID token: environment: AADSTS7000215")),
    (ENTRA, "getBlob", refusal(401, "InvalidAuthenticationInfo"), 401, (-2, "refused the Microsoft Entra ID token")),
    (OWN_KEY, "getBlob", refusal(403, "AuthenticationFailed"), -2, (-2, "refused the account name or key")),
    (OWN_KEY, "getBlob", refusal(404, "BlobNotFound"), 404, (404, "not authorized")),
], ids=["role to delete", "role to list", "no token", "token refused", "wrong key", "other failures pass"])
def test_refusals_are_explained_by_the_credential_in_use(credential, action, error, code, expected):
    found_code, message = credentials.explain(credential, action, error, code, str(error))
    assert (found_code, expected[1] in message) == (expected[0], True), message
