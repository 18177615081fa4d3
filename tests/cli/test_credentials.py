"""The three ways in: account key, SAS token, Microsoft Entra ID.  Each credential given is used or
refused with its class, never replaced by another, and no secret shows anywhere."""
import datetime
import os
import subprocess
import time
import types
from urllib.parse import unquote

import pytest
from azure.storage.blob import (AccessPolicy, AccountSasPermissions, ContainerSasPermissions, ResourceTypes,
                                generate_account_sas, generate_container_sas)

from azurite_server import ACCOUNT, KEY, running_azurite
from conftest import VORN_CLI, Cli, error_lines, fails
from identity_server import CLIENT_ID, TENANT, IdentityServer, make_certificate, unsigned_jwt

USAGE, ACCESS = 2, 4
NOW = datetime.datetime.now(datetime.timezone.utc)
HOUR = datetime.timedelta(hours=1)
CLIENT_SECRET = "stand-in-client-secret-Zq8~"
WRONG_SECRET = "not-the-client-secret-7Hq"
# Settings of the caller's shell that would choose another identity.
IDENTITY_SETTINGS = ("AZURE_CLIENT_ID", "AZURE_TENANT_ID", "AZURE_CLIENT_SECRET", "AZURE_CLIENT_CERTIFICATE_PATH",
                     "AZURE_USERNAME", "AZURE_PASSWORD", "AZURE_AUTHORITY_HOST", "IDENTITY_ENDPOINT", "MSI_ENDPOINT",
                     "AZURE_STORAGE_SAS_TOKEN", "AZURE_STORAGE_AUTH_MODE")


def container_sas(container, expiry=NOW + HOUR, **permissions):
    return generate_container_sas(ACCOUNT, container, KEY, permission=ContainerSasPermissions(**permissions),
                                  start=NOW - 2 * HOUR, expiry=expiry)


def account_sas(**permissions):
    return generate_account_sas(ACCOUNT, KEY, ResourceTypes(service=True, container=True, object=True),
                                AccountSasPermissions(**permissions), expiry=NOW + HOUR)


def signature_of(token):
    return dict(field.split("=", 1) for field in token.split("&"))["sig"]


# How a token reaches the CLI: the variable, a container URL, a connection string without a key.
GIVEN = {
    "variable": lambda cli, token: {"AZURE_STORAGE_SAS_TOKEN": token},
    "URL": lambda cli, token: {"AZURE_STORAGE_SAS_TOKEN": f"{cli.endpoint}/{cli.container}?{token}",
                               "AZURE_BLOB_ENDPOINT": None},
    "connection string": lambda cli, token: {
        "AZURE_STORAGE_CONNECTION_STRING": f"BlobEndpoint={cli.endpoint};SharedAccessSignature={token}",
        "AZURE_BLOB_ENDPOINT": None},
}

# name: (token for the container, how it is given, [(arguments, exit status, words)]); "{tmp}" is
# the test's directory.
SAS_CASES = {
    "account SAS": (lambda c: account_sas(read=True, write=True, delete=True, list=True, create=True), "variable", [
        (["status"], 0, "credential: SAS token for devstoreaccount1 (account SAS, permissions read, write, delete"),
        (["put", "{tmp}/f", "new"], 0, ""), (["rm", "new"], 0, ""), (["containers"], 0, "")]),
    "container SAS as a URL": (lambda c: container_sas(c, read=True, write=True, list=True), "URL", [
        (["status"], 0, "(container SAS, permissions read, write, list; expires 20"),
        (["put", "{tmp}/f", "new"], 0, ""),
        (["containers"], ACCESS, "a container's SAS token cannot list or create containers")]),
    "read-only SAS in a connection string": (lambda c: container_sas(c, read=True, list=True), "connection string", [
        (["put", "{tmp}/f", "new"], ACCESS, "lacks the write (w) permission"),
        (["get", "kept", "{tmp}/got"], 0, "")]),
    "expired SAS": (lambda c: container_sas(c, expiry=NOW - HOUR, read=True), "variable", [
        (["get", "kept", "{tmp}/got"], ACCESS, "the SAS token expired at 20")]),
}


@pytest.mark.parametrize("make_token, given, steps", SAS_CASES.values(), ids=SAS_CASES.keys())
def test_a_sas_token_is_used_as_given_with_the_exit_class_of_each_refusal(cli, target, service, tmp_path,
                                                                         make_token, given, steps):
    container = service.get_container_client(cli.container)
    container.upload_blob(f"{target}/kept", b"kept")
    container.upload_blob(f"{target}/d/f", b"in d")
    (tmp_path / "f").write_bytes(b"new")
    token = make_token(cli.container)
    env = cli.environment(**GIVEN[given](cli, token))
    for args, status, words in steps:
        result = cli.run("--target", target, *(arg.format(tmp=tmp_path) for arg in args), env=env)
        if status:
            fails(result, status, words)
        else:
            assert result.returncode == 0 and words in result.stdout, (args, result.stderr)
    assert container.download_blob(f"{target}/kept").readall() == b"kept"


@pytest.mark.parametrize("args, changes, words", [
    ([], {"AZURE_STORAGE_ACCOUNT": ACCOUNT, "AZURE_STORAGE_KEY": KEY, "AZURE_STORAGE_SAS_TOKEN": "{token}"},
     "choose one with --auth"),
    (["--auth", "sas"], {}, "--auth sas needs a token"),
    (["--auth", "certificate"], {}, "unknown sign-in \"certificate\""),
    ([], {"AZURE_STORAGE_AUTH_MODE": "login"}, "over https only"),
    ([], {"AZURE_STORAGE_SAS_TOKEN": "{unsigned}"}, "needs its sv= and sig= fields"),
    (["--sas-token-file", "{tmp}/absent"], {}, "cannot read the SAS token file {tmp}/absent: No such file"),
    ([], {"AZURE_STORAGE_SAS_TOKEN": "{endpoint}/other?{token}"}, "URL names container other, not {container}"),
    ([], {"AZURE_STORAGE_ACCOUNT": ACCOUNT}, "no key for account devstoreaccount1"),
], ids=["key and SAS", "sas without token", "unknown kind", "entra over http", "malformed token", "missing token file",
        "other container", "account alone"])
def test_a_credential_that_cannot_be_used_is_refused_before_any_agent_starts(cli, tmp_path, args, changes, words):
    token = container_sas(cli.container, read=True)
    places = {"tmp": tmp_path, "endpoint": cli.endpoint, "container": cli.container, "token": token,
              "unsigned": token.replace("sig=", "signature=")}
    env = cli.environment(**{name: value.format(**places) for name, value in changes.items()})
    result = cli.run(*(arg.format(**places) for arg in args), "status", env=env)
    fails(result, USAGE, words.format(**places))
    assert "pipe opened" not in result.stderr and signature_of(token) not in result.stderr


def test_a_token_file_gives_the_token_and_a_key_is_still_there_for_auth_key(cli, target, tmp_path):
    token_file = tmp_path / "token"
    token_file.write_text(container_sas(cli.container, read=True, list=True) + "\n")
    env = cli.environment(AZURE_STORAGE_ACCOUNT=ACCOUNT, AZURE_STORAGE_KEY=KEY)
    (tmp_path / "f").write_bytes(b"x")
    fails(cli.run("--sas-token-file", token_file, "--auth", "sas", "--target", target, "put", tmp_path / "f", "f",
                  env=env), ACCESS, "lacks the write (w) permission")
    assert cli.ok("--sas-token-file", token_file, "--auth", "key", "--target", target, "put", tmp_path / "f", "f",
                  env=env) == ""


def refused(result, words):
    """Exit 4 with one error line holding these words (a command may have printed its plan)."""
    assert result.returncode == ACCESS and [words in line for line in error_lines(result)] == [True], result.stderr


def snapshot_target(cli, tmp_path, files):
    """Target "t" made a snapshot target with the account key, and a tree of `files` random MiB."""
    cli.ok("create-container")
    cli.ok("--target", "t", "init", "--no-encryption")
    (tmp_path / "tree").mkdir()
    for n in range(files):
        (tmp_path / f"tree/f{n}").write_bytes(os.urandom(1 << 20))
    return tmp_path / "tree"


def test_a_sas_without_delete_adds_snapshots_and_removes_nothing(cli, service, tmp_path):
    tree = snapshot_target(cli, tmp_path, 2)
    without_delete = cli.environment(
        AZURE_STORAGE_SAS_TOKEN=container_sas(cli.container, read=True, write=True, list=True, create=True))
    container = service.get_container_client(cli.container)
    cli.ok("--target", "t", "backup", tree, env=without_delete)
    (tree / "f0").write_bytes(os.urandom(1 << 20))
    cli.ok("--target", "t", "backup", tree, env=without_delete)
    refused(cli.run("--target", "t", "forget", "--keep-last", "1", env=without_delete), "lacks the delete (d)")
    # With the key, forget leaves prune a pack to remove.
    cli.ok("--target", "t", "forget", "--keep-last", "1")
    before = {blob.name for blob in container.list_blobs()}
    for args in (["prune"], ["rm", sorted(before)[-1].split("/", 1)[1]]):
        refused(cli.run("--target", "t", *args, env=without_delete), "lacks the delete (d) permission")
    assert before <= {blob.name for blob in container.list_blobs()}


def test_a_token_revoked_during_a_backup_ends_it_and_a_fresh_one_finishes_it(cli, service, tmp_path):
    tree = snapshot_target(cli, tmp_path, 40)
    container = service.get_container_client(cli.container)
    policy = AccessPolicy(permission=ContainerSasPermissions(read=True, write=True, list=True), start=NOW - HOUR,
                          expiry=NOW + HOUR)
    container.set_container_access_policy({"first": policy})
    cli.env["AZURE_STORAGE_SAS_TOKEN"] = generate_container_sas(ACCOUNT, cli.container, KEY, policy_id="first")
    backup = cli.popen("--target", "t", "backup", tree)
    while not any(container.list_blobs("t/data/")):
        assert backup.poll() is None, "the backup ended before the token was revoked"
    container.set_container_access_policy({"second": policy})
    _, stderr = backup.communicate(timeout=60)
    refused(types.SimpleNamespace(returncode=backup.returncode, stderr=stderr),
            "or its access policy first was revoked")
    cli.env["AZURE_STORAGE_SAS_TOKEN"] = generate_container_sas(ACCOUNT, cli.container, KEY, policy_id="second")
    assert "files: 40 new" in cli.ok("--target", "t", "backup", tree)


@pytest.fixture(scope="module")
def entra(tmp_path_factory):
    """The emulator in its OAuth mode over HTTPS, the sign-in stand-in (HTTPS, same certificate),
    the instance metadata stand-in (HTTP) and an `az` that hands out a token."""
    directory = tmp_path_factory.mktemp("entra")
    cert, key = make_certificate(directory)
    (directory / "bin").mkdir()
    expires = (datetime.datetime.now() + HOUR).strftime("%Y-%m-%d %H:%M:%S.%f")
    (directory / "bin/az").write_text(
        f"#!/bin/sh\necho '{{\"accessToken\": \"{unsigned_jwt()}\", \"expiresOn\": \"{expires}\"}}'\n")
    (directory / "bin/az").chmod(0o755)
    with running_azurite("--oauth", "basic", "--cert", str(cert), "--key", str(key), scheme="https") as endpoint:
        signin, metadata = IdentityServer(CLIENT_SECRET, cert, key), IdentityServer(CLIENT_SECRET)
        yield types.SimpleNamespace(endpoint=endpoint, cert=cert, signin=signin, metadata=metadata,
                                    bin=directory / "bin")
        signin.close()
        metadata.close()


def entra_cli(entra, sysroot, home, source, secret=CLIENT_SECRET):
    """A CLI signing in with --auth entra through one source of azure-identity's chain."""
    cli = Cli(entra.endpoint, sysroot, home)
    for name in IDENTITY_SETTINGS:
        cli.env.pop(name, None)
    # The managed identity is asked on loopback, never at the real metadata address.
    cli.env.update({"REQUESTS_CA_BUNDLE": str(entra.cert), "AZURE_POD_IDENTITY_AUTHORITY_HOST": entra.metadata.url})
    entra.metadata.assigned = source == "managed identity"
    if source == "service principal":
        cli.env.update({"AZURE_AUTHORITY_HOST": entra.signin.url, "AZURE_TENANT_ID": TENANT,
                        "AZURE_CLIENT_ID": CLIENT_ID, "AZURE_CLIENT_SECRET": secret})
    if source == "Azure CLI":
        cli.env["PATH"] = f"{entra.bin}:{cli.env['PATH']}"
    return cli


@pytest.mark.parametrize("source", ["service principal", "managed identity", "Azure CLI"])
def test_entra_id_signs_in_through_each_source_of_the_chain(entra, sysroot, tmp_path, source):
    cli = entra_cli(entra, sysroot, tmp_path / "home", source)
    (tmp_path / "f").write_bytes(b"signed in")
    assert cli.ok("--auth", "entra", "create-container") == ""
    target = cli.ok("--auth", "entra", "create-target", "t", "k").strip()
    cli.ok("--auth", "entra", "--target", target, "put", tmp_path / "f", "f")
    cli.ok("--auth", "entra", "--target", target, "get", "f", tmp_path / "back")
    assert (tmp_path / "back").read_bytes() == b"signed in"
    status = cli.ok("status", env=cli.environment(AZURE_STORAGE_AUTH_MODE="login"))
    assert status.startswith("reachable\ncredential: Microsoft Entra ID for devstoreaccount1")


def test_a_refused_client_secret_is_one_line_of_the_credentials_class(entra, sysroot, tmp_path):
    cli = entra_cli(entra, sysroot, tmp_path / "home", "service principal", secret=WRONG_SECRET)
    fails(cli.run("--auth", "entra", "containers"), ACCESS,
          "no Microsoft Entra ID token: environment: Authentication failed: AADSTS7000215")


def processes_below(pid):
    """The command lines of pid and of every process below it."""
    found, waiting = {}, [pid]
    while waiting:
        current = waiting.pop()
        try:
            found[current] = open(f"/proc/{current}/cmdline", "rb").read()
            for task in os.listdir(f"/proc/{current}/task"):
                waiting += map(int, open(f"/proc/{current}/task/{task}/children").read().split())
        except OSError:  # gone meanwhile
            pass
    return found


def run_watched(runner, *args):
    """Runs a command with -vv, reading meanwhile the command lines of it and its agents and the
    small files below its home (its temporary files, configuration and cache): all it showed."""
    process = subprocess.Popen([VORN_CLI, "-vv", *map(str, args)], env=runner.env, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    seen, processes = [], 0
    while process.poll() is None:
        command_lines = processes_below(process.pid)
        processes = max(processes, len(command_lines))
        seen += command_lines.values()
        seen += [read_small(path) for path in runner.home.rglob("*")]
        time.sleep(0.02)
    out, err = process.communicate()
    assert processes >= 2, f"{args}: the agent was not seen running"
    return b"".join(seen) + out + err


def read_small(path):
    """A file's content, when it is small enough to be no blob data ("" otherwise, or once gone)."""
    try:
        return path.read_bytes() if path.is_file() and path.stat().st_size < (1 << 20) else b""
    except OSError:
        return b""


def test_no_secret_shows_in_output_logs_files_or_command_lines(cli, target, entra, sysroot, tmp_path):
    token = container_sas(cli.container, read=True, write=True, list=True)
    big = tmp_path / "big"
    big.write_bytes(os.urandom(24 << 20))
    signed_in = entra_cli(entra, sysroot, tmp_path / "entra-home", "service principal")
    wrong = entra_cli(entra, sysroot, tmp_path / "wrong-home", "service principal", secret=WRONG_SECRET)
    runs = [(cli, ["--target", target, "put", big, "big"]), (cli, ["--target", target, "rm", "big"]),
            (cli, ["--target", target, "get", "big", tmp_path / "back"]), (cli, ["containers"]),
            (signed_in, ["--auth", "entra", "create-container"]),
            (signed_in, ["--auth", "entra", "--target", "t", "put", big, "big"]),
            (wrong, ["--auth", "entra", "status"])]
    cli.env["AZURE_STORAGE_SAS_TOKEN"] = token
    signature = signature_of(token)
    seen = b"".join(run_watched(runner, *args) for runner, args in runs)
    seen += b"".join(read_small(path) for home in (cli.home, signed_in.home, wrong.home) for path in home.rglob("*"))
    # The runs went through the paths that report refusals and failures.
    assert b"agent ready" in seen and b"lacks the delete (d) permission" in seen and b"AADSTS7000215" in seen
    secrets = (token, signature, unquote(signature), CLIENT_SECRET, WRONG_SECRET)
    assert [secret for secret in secrets if secret.encode() in seen] == []
