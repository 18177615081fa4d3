"""Saved settings: profiles in the config file, their precedence, and `config show` with sources."""
import pytest

from azurite_server import KEY

SECRET_FILE_KEY = KEY  # the emulator's key, read from a file named by the profile


@pytest.fixture
def config(cli, tmp_path):
    """Writes the config file (INI text) and returns an environment that reads it, with no
    connection setting of its own."""
    home = tmp_path / "xdg"
    (home / "vorn-azure").mkdir(parents=True)

    def write(text, **changes):
        (home / "vorn-azure/config").write_text(text)
        return cli.environment(**{"XDG_CONFIG_HOME": str(home), "AZURE_BLOB_ENDPOINT": None,
                                  "VORN_AZURE_CONTAINER": None, **changes})
    return write


def show(cli, env, *args):
    """`config show` as {setting: (value, source)}, read by the columns of its heading."""
    heading, *lines, _ = cli.ok(*args, "config", "show", env=env).splitlines()
    value, source = heading.index("value"), heading.index("source")
    return {line[:value].strip(): (line[value:source].strip(), line[source:].strip()) for line in lines}


def test_a_profile_set_up_once_serves_every_command(cli, config, tmp_path):
    key_file, password = tmp_path / "key", tmp_path / "password"
    key_file.write_text(SECRET_FILE_KEY + "\n")
    password.write_text("a passphrase\n")
    env = config(f"# my emulator\n[default]\naccount = devstoreaccount1\nkey = file:{key_file}\n"
                 f"endpoint = {cli.endpoint}\ncontainer = {cli.container}\ntarget = mine\n"
                 f"password-file = {password}\n")
    tree = tmp_path / "tree"
    tree.mkdir()
    (tree / "a.txt").write_bytes(b"a")
    cli.ok("create-container", env=env)
    cli.ok("init", env=env)
    assert "saved" in cli.ok("backup", tree, env=env)
    rows = show(cli, env)
    assert rows["profile"] == ("default", "default")
    assert rows["key"] == ("********", f"profile default (file:{key_file})")
    assert rows["target"] == ("mine", "profile default") and rows["http"] == ("false", "default")
    assert rows["password-file"] == (str(password), "profile default")
    assert SECRET_FILE_KEY not in cli.ok("config", "show", env=env)


@pytest.mark.parametrize("on_line, in_env, in_profile, expected", [
    (True, True, True, ("line", "command line")),
    (False, True, True, ("env", "environment VORN_AZURE_CONTAINER")),
    (False, False, True, ("profile", "profile work")),
    (False, False, False, ("backups", "default")),
])
def test_the_command_line_beats_the_environment_which_beats_the_profile(cli, config, on_line, in_env, in_profile,
                                                                       expected):
    env = config("[work]\n" + ("container = profile\n" if in_profile else "") + "http = yes\n",
                 **({"VORN_AZURE_CONTAINER": "env"} if in_env else {}), VORN_AZURE_PROFILE="work")
    rows = show(cli, env, *(["--container", "line"] if on_line else []))
    assert rows["container"] == expected
    assert rows["profile"] == ("work", "environment VORN_AZURE_PROFILE") and rows["http"] == ("true", "profile work")


@pytest.mark.parametrize("text, words", [
    (f"[default]\nkey = {KEY}\n", "never the secret itself"),
    ("[default]\nkey = env:NO_SUCH_VARIABLE\n", "env:NO_SUCH_VARIABLE: the variable is not set"),
    ("[default]\ncolour = blue\n", "unknown setting \"colour\""),
    ("[default]\nhttp = maybe\n", "\"maybe\" is not true or false"),
    ("[default]\naccount = a\naccount = b\n", "config:3: duplicate key name"),
    ("account = a\n", "outside a [profile] section"),
])
def test_a_bad_profile_is_refused_on_one_line_without_its_secret(cli, config, text, words):
    result = cli.run("status", env=config(text))
    assert (result.returncode, result.stdout) == (2, "") and words in result.stderr
    assert result.stderr.count("\n") == 1 and KEY not in result.stderr


def test_the_named_profile_is_used_and_the_default_one_otherwise(cli, config):
    env = config("[default]\ncontainer = one\n[other]\ncontainer = two\n")
    assert show(cli, env)["container"] == ("one", "profile default")
    assert show(cli, env, "--profile", "other")["container"] == ("two", "profile other")
    assert cli.ok("config", "profiles", env=env) == "default\nother\n"
