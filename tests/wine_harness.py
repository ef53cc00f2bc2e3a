"""What the Wine tests of tests/road and tests/triage share: their --key=value arguments,
checks that count a failure and go on, Windows programs run in the build's prefix, game
folders, and the WER host stand-in starting the sample client as its debugger."""
import os
import pathlib
import shutil
import subprocess
import tempfile

ARGS = {}
FAILURES = []

# Wine's own parts that no test wants: the .NET and HTML engines it would offer to
# install, and the desktop entries it would make (scripts/lib.sh has the same default).
BASE_DLL_OVERRIDES = "mscoree,mshtml,winemenubuilder.exe="


def parse_args(args):
    """--key=value into ARGS. A bare --flag is True; --key= stays an empty, false value,
    which is how CMake passes a program that this build has not made."""
    for arg in args:
        key, sep, value = arg.lstrip("-").partition("=")
        ARGS[key] = value if sep else True


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print(f"FAILED: {what}", flush=True)
    return condition


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def key_values(text):
    values = {}
    for line in text.splitlines():
        key, sep, value = line.partition("=")
        if sep:
            values[key.strip()] = value.rstrip("\r")
    return values


def wine_env(extra=None):
    """The environment with Wine's DLL overrides: the base ones, then `extra` such as
    "dbghelp=" (disabled) or "version=n,b" (native first)."""
    env = dict(os.environ)
    env["WINEDLLOVERRIDES"] = BASE_DLL_OVERRIDES + (";" + extra if extra else "")
    return env


def wine(program, *args, timeout=180, env=None, cwd=None, errors=None):
    """Runs a Windows program in the build's prefix; returns (exit code, stdout). With
    `errors` (a list), what the program and Wine said on stderr is appended to it."""
    # Output goes through files, not pipes: under Wine a program that the module starts
    # (the notifier, whose box stays open) and Wine's services keep the host's stdout
    # open, and a pipe would not end with the program.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        run = subprocess.run([ARGS["wine-run"], str(program), *map(str, args)], stdout=out,
                             stderr=err if errors is not None else subprocess.DEVNULL,
                             stdin=subprocess.DEVNULL, timeout=timeout, env=env, cwd=cwd)
        out.seek(0)
        err.seek(0)
        if errors is not None:
            errors.append(err.read().decode("utf-8", errors="replace"))
        return run.returncode, out.read().decode("utf-8", errors="replace")


def game_folder(name, *dlls, client=None, image="Client.exe"):
    """A game folder of its own under --work: the sample client (or `client`) as `image`,
    Calvorin.dll and the given DLLs."""
    folder = pathlib.Path(ARGS["work"]) / name
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    shutil.copy(client or ARGS["client"], folder / image)
    shutil.copy(ARGS["module"], folder / "Calvorin.dll")
    for dll in map(pathlib.Path, dlls):
        shutil.copy(dll, folder / dll.name)
    return folder


def stand_in_at_start(dll, client, *client_args, host_args=(), env=None):
    """The WER host stand-in starts `client` as its debugger and calls the module `dll` at
    the client's first exception; gives (exit code, output)."""
    return wine(ARGS["wer-host"], *host_args, "--dll=" + windows_path(dll), "--",
                windows_path(client), *client_args, env=env)


def crash_at_start(folder, *client_args, host_args=(), image="Client.exe", env=None):
    """The client of a game folder crashed under the stand-in at start, with the folder's
    Calvorin.dll; gives the stand-in's results."""
    code, out = stand_in_at_start(folder / "Calvorin.dll", folder / image, *client_args,
                                  host_args=host_args, env=env)
    check(code == 0, f"{folder.name}: WerHost ran {list(client_args)} (exit {code}, output {out!r})")
    return key_values(out)
