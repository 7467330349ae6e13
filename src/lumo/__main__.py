"""The lumo command: publish an object, call it, and ask a running server about itself.

    lumo serve TARGET [--alias A] [--host H] [--port P] [--workers N|auto] [--log-level LEVEL | --quiet]
    lumo call NAME[.FUNC] [ARG ...] [KEY=VALUE ...] [--host H] [--port P] [--timeout S] [--traceback]
    lumo ping|stats|pid|stop NAME [--host H] [--port P] [--timeout S]
    lumo port NAME
    lumo demo

Exit status: 0 on success, 1 when the work itself fails (the target does not import, the server
cannot be reached, the remote call returns an error value), 2 for a malformed command line,
130 when interrupted. Every failure is reported as one line on standard error.
"""
from __future__ import annotations

import argparse
import ast
import importlib
import importlib.util
import logging
import os
import re
import signal
import socket
import sys
import time
import traceback
from types import FrameType, ModuleType
from typing import Any, NoReturn, Sequence

import lumo

PROG = "lumo"
DEFAULT_HOST = "127.0.0.1"
DEFAULT_TIMEOUT = 10.0
# The service functions that the server adds to every published object.
SERVICE_NAMES = ("stats", "client", "ping", "getpid", "terminate")

_KEYWORD = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)=(.*)", re.DOTALL)
_NUMBER = re.compile(r"-[0-9.][0-9a-fA-FxXoObBjJeE_.+-]*")
_CONNECT_FAILED = re.compile(r"Connection failed \((.*?)\), please check:")


class Failure(Exception):
    """A failure to report as one line on standard error, with the exit status to return."""

    def __init__(self, text: str, status: int = 1) -> None:
        super().__init__(text)
        self.status = status


class _Parser(argparse.ArgumentParser):
    """argparse with its errors on one line (usage goes to --help)."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message} (see '{self.prog} --help')\n")


def _one_line(text: str) -> str:
    return re.sub(r"\s*\n\s*", " ", text).strip()


# --- serve --------------------------------------------------------------------------------------

def _import_failure(what: str, exc: BaseException) -> Failure:
    """A Failure for an exception raised while importing the target, naming where it happened."""
    where = ""
    if not isinstance(exc, SyntaxError):  # a SyntaxError's text already names file and line
        frames = traceback.extract_tb(exc.__traceback__)
        if frames:
            last = frames[-1]
            shown = os.path.relpath(last.filename)
            where = f" ({last.filename if shown.startswith('..') else shown}, line {last.lineno})"
    return Failure(f"importing {what} failed: {type(exc).__name__}: {exc}{where}")


def _import_module(name: str) -> ModuleType:
    if not all(piece.isidentifier() for piece in name.split(".")):
        raise Failure(f"{name!r} is neither a module name (pkg.mod) nor a .py file", 2)
    try:
        return importlib.import_module(name)
    except ModuleNotFoundError as exc:
        missing = exc.name or ""
        if missing and (name == missing or name.startswith(missing + ".")):
            raise Failure(f"cannot import {name!r}: no module named {missing!r}") from None
        raise _import_failure(repr(name), exc) from None
    except Exception as exc:
        raise _import_failure(repr(name), exc) from None


def _load_file(path: str) -> ModuleType:
    if not os.path.isfile(path):
        raise Failure(f"no such file: {path}")
    name = os.path.splitext(os.path.basename(path))[0]
    module_spec = importlib.util.spec_from_file_location(name, path)
    if module_spec is None or module_spec.loader is None:
        raise Failure(f"cannot load {path} as a Python module", 2)
    module = importlib.util.module_from_spec(module_spec)
    # Like `python path/to/file.py`: the file's folder comes first on the path, so it can import
    # its neighbours; and the module is findable by name, so its classes and functions pickle.
    sys.path.insert(0, os.path.dirname(os.path.abspath(path)))
    sys.modules.setdefault(name, module)
    try:
        module_spec.loader.exec_module(module)
    except Exception as exc:
        if sys.modules.get(name) is module:
            del sys.modules[name]
        raise _import_failure(path, exc) from None
    return module


def load_target(target: str) -> tuple[Any, str]:
    """Import TARGET (pkg.mod, pkg.mod:obj, path/file.py or path/file.py:obj).

    Returns the object to publish and its default alias: the module's last dotted component,
    the file's stem, or the attribute's __name__ (its name in the module when it has none).
    """
    source, colon, attr = target.rpartition(":")
    if not colon:
        source, attr = target, ""
    elif not attr:
        raise Failure(f"no attribute name after ':' in {target!r}", 2)
    if not source:
        raise Failure(f"no module or file before ':' in {target!r}", 2)

    if source.endswith(".py") or os.sep in source or os.path.isfile(source):
        module = _load_file(source)
        alias = os.path.splitext(os.path.basename(source))[0]
    else:
        if os.getcwd() not in sys.path:  # `lumo serve mod` finds mod.py in the current folder,
            sys.path.insert(0, os.getcwd())  # as `python -m` does
        module = _import_module(source)
        alias = source.rpartition(".")[2]
    if not attr:
        return module, alias

    obj: Any = module
    for piece in attr.split("."):
        try:
            obj = getattr(obj, piece)
        except AttributeError:
            raise Failure(f"{source} has no attribute {attr!r}") from None
    name = getattr(obj, "__name__", None)
    return obj, name if isinstance(name, str) and name else attr.rpartition(".")[2]


def _check_publishable(obj: Any, alias: str) -> None:
    """Refuse, before the server starts, an object that cannot take the service functions."""
    for name in SERVICE_NAMES:
        try:
            # register() is about to replace these very attributes, so this changes nothing.
            setattr(obj, name, getattr(obj, name, None))
        except (AttributeError, TypeError) as exc:
            raise Failure(f"cannot publish {alias!r}: it takes no attributes ({exc}); "
                          "publish a module, a class or a Python function instead") from None


def _check_listen(host: str, port: int) -> None:
    """Fail early, with one line, when HOST:PORT cannot be listened on."""
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind((host, port))
    except OSError as exc:
        raise Failure(f"cannot listen on {host}:{port}: {exc}") from None


def _terminated(signum: int, frame: FrameType | None) -> None:
    raise KeyboardInterrupt  # SIGTERM stops the server the way Ctrl+C does


def cmd_serve(args: argparse.Namespace) -> NoReturn:
    from lumo.ring import get_port
    from lumo.server import serve

    obj, alias = load_target(args.target)
    if args.alias is not None:
        alias = args.alias
    if not alias or "." in alias:
        raise Failure(f"the alias {alias!r} must be a non-empty name without '.' (use --alias)", 2)
    port = args.port or get_port(alias)
    for name in SERVICE_NAMES:
        value = getattr(obj, name, None)
        if value is not None:
            print(f"{PROG} serve: warning: {alias}.{name} is replaced by the built-in service "
                  f"function {name}()", file=sys.stderr)
    _check_publishable(obj, alias)
    _check_listen(args.host, port)
    signal.signal(signal.SIGTERM, _terminated)
    try:
        if args.workers == 1:
            serve(obj, alias=alias, host=args.host, port=port)
        else:
            _serve_workers(obj, alias, args.host, port, args.workers)
    except OSError as exc:
        raise Failure(f"cannot listen on {args.host}:{port}: {exc}") from None
    _exit_now(0)


# --- serve --workers ------------------------------------------------------------------------------

def _workers(text: str) -> int:
    if text == "auto":
        from lumo.workers import cpu_count

        return cpu_count()
    try:
        count = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of workers: {text!r} "
                                         "(a whole number of at least 1, or auto)") from None
    if count < 1:
        raise argparse.ArgumentTypeError(f"{count} workers: at least 1 is needed")
    return count


def _workers_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--workers", type=_workers, default=1, metavar="N",
                        help="serve with N processes on the same port, supervised by this one "
                             "(auto: one per CPU this process may use; default 1)")


def _serve_workers(obj: Any, alias: str, host: str, port: int, workers: int) -> None:
    from lumo.workers import WorkerFailure, serve

    try:
        serve(obj, alias=alias, host=host, port=port, workers=workers)
    except WorkerFailure as exc:
        raise Failure(str(exc)) from None


def _exit_now(status: int) -> NoReturn:
    """End the server's process without tearing the interpreter down.

    Handler threads may still be inside a call (terminate() itself runs on one), and the
    interpreter's teardown would pull the modules from under them. The exit functions
    (atexit, which also flushes logging) still run, and so does the flush of stdout/stderr."""
    import atexit

    from lumo.kelto import flush_output

    atexit._run_exitfuncs()
    flush_output()
    os._exit(status)


# --- the client commands ------------------------------------------------------------------------

class _Capture(logging.Handler):
    """Keeps lumo's log lines from the terminal; the command reports in its own words."""

    def __init__(self) -> None:
        super().__init__()
        self.messages: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.messages.append(record.getMessage())


def _capture_logging() -> _Capture:
    capture = _Capture()
    base = logging.getLogger("lumo")
    base.addHandler(capture)  # with a handler of the application's, lumo writes nothing to stderr
    base.propagate = False
    return capture


def literal(text: str) -> Any:
    """A command-line argument as a Python literal, or as the text itself.

    Text that starts like a literal (a bracket, a brace or a quote) must be one."""
    try:
        return ast.literal_eval(text)
    except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError) as exc:
        if text and text[0] in "[({'\"":
            reason = exc.msg if isinstance(exc, SyntaxError) else \
                "it holds more than literals (quote texts inside it: ['a', 'b'])"
            raise Failure(f"{text!r} is not a valid Python literal: {reason}", 2) from None
        return text


def parse_arguments(words: Sequence[str]) -> tuple[list[Any], dict[str, Any]]:
    """ARG and KEY=VALUE words as the positional and keyword arguments of a call."""
    args: list[Any] = []
    kwds: dict[str, Any] = {}
    for word in words:
        match = _KEYWORD.fullmatch(word)
        if match:
            key, value = match.groups()
            if key in kwds:
                raise Failure(f"keyword argument {key!r} given twice", 2)
            kwds[key] = literal(value)
        else:
            args.append(literal(word))
    return args, kwds


class Remote:
    """One server as the client commands see it: NAME at HOST:PORT."""

    def __init__(self, args: argparse.Namespace, name: str) -> None:
        import lumo.client  # noqa: F401  (imported here, so that a ping times the call alone)
        from lumo.ring import get_port

        if not name or "." in name:
            raise Failure(f"bad service name {name!r}", 2)
        self.name = name
        self.host: str = args.host
        self.port: int = args.port or get_port(name)
        self.timeout: float = args.timeout
        self.traceback: bool = getattr(args, "traceback", False)
        self.log = _capture_logging()

    def __str__(self) -> str:
        return f"{self.name} at {self.host}:{self.port}"

    def request(self, function: str, *args: Any, timeout: float | None = None,
                **kwds: Any) -> Any:
        """Call NAME.FUNCTION (NAME itself for an empty FUNCTION) on a new connection and return
        what the client returns, error values included; raise Failure when it cannot connect."""
        from lumo.client import connect

        remote = f"{self.name}.{function}" if function else self.name
        proxy = connect(remote, self.host, self.port,
                        self.timeout if timeout is None else timeout, types="function")
        result = proxy(*args, **kwds)
        if result is None and proxy._client._connection is None:
            reason = "the connection was refused"
            for message in self.log.messages:
                found = _CONNECT_FAILED.search(message)
                if found:
                    reason = found.group(1)
            raise Failure(f"cannot reach {self}: {reason} (is the server running?)")
        return result

    def call(self, function: str, *args: Any, **kwds: Any) -> Any:
        """The remote result of NAME.FUNCTION; Failure, with one line that says why, when the
        call returns an error value or the connection fails."""
        result = self.request(function, *args, **kwds)
        if isinstance(result, BaseException):
            if self.traceback:  # where it failed on the server, before the one line
                for note in getattr(result, "__notes__", ()):
                    print(note, file=sys.stderr)
            raise Failure(self.describe(result))
        return result

    def describe(self, error: BaseException) -> str:
        text = _one_line(str(error))
        lost = lost_connection(error)
        if lost is None:
            return text  # the server's error value, e.g. "ZeroDivisionError in calc.div(1, 0): ..."
        if lost.startswith("TimeoutError"):
            return f"no answer from {self} within {self.timeout:g} s"
        if lost.startswith("KeyboardInterrupt"):
            raise KeyboardInterrupt
        return f"the connection to {self} was lost during the call: {lost}"

    def accepts(self) -> bool:
        """Whether HOST:PORT accepts a TCP connection now."""
        try:
            with socket.create_connection((self.host, self.port), timeout=min(self.timeout, 1.0)):
                return True
        except OSError:
            return False


def _connect_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--host", default=DEFAULT_HOST,
                        help=f"the server's host name or address (default {DEFAULT_HOST})")
    parser.add_argument("--port", type=_port_number, default=0,
                        help="the server's port (default: lumo port NAME)")
    parser.add_argument("--timeout", type=_seconds, default=DEFAULT_TIMEOUT, metavar="S",
                        help="seconds to wait for the connection and for each answer "
                             f"(default {DEFAULT_TIMEOUT:g})")


def cmd_call(args: argparse.Namespace) -> int:
    name, _, function = args.function.partition(".")
    if not name or (args.function.count(".") and not function) or function.count("."):
        raise Failure(f"bad function name {args.function!r}: use NAME.FUNC or NAME", 2)
    positional, keywords = parse_arguments(args.arguments)
    result = Remote(args, name).call(function, *positional, **keywords)
    print(repr(result))
    return 0


def cmd_ping(args: argparse.Namespace) -> int:
    remote = Remote(args, args.name)
    token = f"ping-{os.getpid()}-{time.monotonic_ns()}"
    start = time.perf_counter()
    echo = remote.call("ping", token)
    elapsed = time.perf_counter() - start
    if echo != token:
        raise Failure(f"{remote} answered the ping with {echo!r}")
    print(f"{remote} answered in {elapsed * 1000:.2f} ms")
    return 0


def cmd_stats(args: argparse.Namespace) -> int:
    remote = Remote(args, args.name)
    stats = remote.call("stats")
    if not isinstance(stats, dict):
        print(repr(stats))
        return 0
    print(f"{remote}: {len(stats)} connection{'' if len(stats) == 1 else 's'}")
    for address, record in stats.items():
        where = f"{address[0]}:{address[1]}" if isinstance(address, tuple) and len(address) == 2 \
            else str(address)
        calls = ", ".join(f"{fname} {entry.get('count') if isinstance(entry, dict) else entry}"
                          for fname, entry in record.items()) if isinstance(record, dict) \
            else repr(record)
        print(f"  {where}  {calls or '(no calls yet)'}")
    return 0


def _process_ids(remote: Remote) -> tuple[int, int]:
    ids = remote.call("getpid")
    if not (isinstance(ids, (tuple, list)) and len(ids) == 2):
        raise Failure(f"{remote} answered getpid() with {ids!r}, not (pid, ppid)")
    return ids[0], ids[1]


def cmd_pid(args: argparse.Namespace) -> int:
    pid, ppid = _process_ids(Remote(args, args.name))
    print(pid, ppid)
    return 0


def cmd_stop(args: argparse.Namespace) -> int:
    remote = Remote(args, args.name)
    pid, _ = _process_ids(remote)  # the server is there, and this is its process
    # terminate() ends the server's process tree and so never answers: the call comes back when
    # the connection drops, and the server counts as stopped once its port no longer accepts.
    result = remote.request("terminate", args.wait, True, True,
                            timeout=args.wait + remote.timeout)
    lost = lost_connection(result)
    if lost is None and isinstance(result, BaseException):
        raise Failure(remote.describe(result))  # terminate() itself failed on the server
    if lost is not None and lost.startswith("KeyboardInterrupt"):
        raise KeyboardInterrupt
    deadline = time.monotonic() + remote.timeout
    for _ in range(100_000):
        if not remote.accepts():
            print(f"stopped {remote} (pid {pid})")
            return 0
        if time.monotonic() > deadline:
            break
        time.sleep(0.02)
    raise Failure(f"{remote} (pid {pid}) still accepts connections after terminate()")


def lost_connection(result: Any) -> str | None:
    """For the value a client returns when its connection ended during the call, what ended it
    ("TimeoutError timed out", "ConnectionResetError ..."); None for anything else."""
    if isinstance(result, ConnectionError):
        text = str(result)
        if text.startswith("@RECV: "):
            return _one_line(text[len("@RECV: "):])
    return None


def cmd_port(args: argparse.Namespace) -> int:
    from lumo.ring import get_port

    print(get_port(args.name))
    return 0


def cmd_demo(args: argparse.Namespace) -> int:
    demo = importlib.import_module("lumo._demo")
    status = demo.main()
    return status if isinstance(status, int) else 0


# --- the parser ---------------------------------------------------------------------------------

def _port_number(text: str) -> int:
    try:
        port = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"port {port} is outside 0..65535")
    return port


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 < value < 1e9:
        raise argparse.ArgumentTypeError(f"{text} seconds is not a usable time-out")
    return value


def _wait(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number of seconds: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError("the wait cannot be negative")
    return value


# --- logging of lumo serve -----------------------------------------------------------------------

_LEVELS = ("DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL")


def _log_level(text: str) -> int:
    if text.upper() not in _LEVELS:
        raise argparse.ArgumentTypeError(f"not a log level: {text!r} (use one of {', '.join(_LEVELS)})")
    level: int = getattr(logging, text.upper())
    return level


def _logging_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--log-level", type=_log_level, metavar="LEVEL",
                       help="log from LEVEL up: DEBUG (adds the traceback of each failed call), "
                            "INFO (the default), WARNING, ERROR or CRITICAL")
    group.add_argument("--quiet", action="store_true", help="write no log lines at all")


def configure_logging(args: argparse.Namespace) -> None:
    """The level of the "lumo" logger that --log-level or --quiet ask for. Without a handler of
    the application's, lumo writes its lines from that level to standard error."""
    level = getattr(args, "log_level", None)
    if getattr(args, "quiet", False):
        level = logging.CRITICAL + 1
    if level is not None:
        logging.getLogger("lumo").setLevel(level)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Publish a Python object over TCP and call its functions from elsewhere.",
        epilog=f"Run '{PROG} COMMAND --help' for the options of a command.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {lumo.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    p = commands.add_parser(
        "serve", help="publish a module, class or function until Ctrl+C",
        description="Publish TARGET under an alias and serve it in the foreground until Ctrl+C "
                    "(or SIGTERM, or 'lumo stop ALIAS'). TARGET is a module (pkg.mod), an "
                    "attribute of one (pkg.mod:obj) or a file (path/to/file.py[:obj]).")
    p.add_argument("target", metavar="TARGET")
    p.add_argument("--alias", help="the name clients call it by (default: the module's last "
                                   "component, the file's stem or the object's __name__)")
    p.add_argument("--host", default=DEFAULT_HOST,
                   help=f"the address to listen on (default {DEFAULT_HOST}: this machine only)")
    p.add_argument("--port", type=_port_number, default=0,
                   help="the port to listen on (default: lumo port ALIAS)")
    _workers_option(p)
    _logging_options(p)
    p.set_defaults(run=cmd_serve)

    p = commands.add_parser(
        "call", help="call a remote function and print the result's repr",
        description="Call FUNC of the object published as NAME (or NAME itself, when it is a "
                    "function) and print the repr of the result. Each ARG and VALUE is read as "
                    "a Python literal (1, 2.5, 'text', [1, 2], {'a': 1}, None, True), else taken "
                    "as text; quote text that starts with a bracket or a quote. Put '--' before "
                    "arguments that begin with '-' but are not numbers.",
        epilog="Exit status 1, with the error on standard error, when the call returns an error "
               "value or the server cannot be reached.")
    p.add_argument("function", metavar="NAME.FUNC")
    p.add_argument("arguments", nargs="*", default=[], metavar="ARG | KEY=VALUE")
    _connect_options(p)
    p.add_argument("--traceback", action="store_true",
                   help="when the call fails on the server, print first where it failed there "
                        "(the traceback that the error value carries)")
    p.set_defaults(run=cmd_call)

    for command, run, summary in (
            ("ping", cmd_ping, "check that a server answers, and how fast"),
            ("stats", cmd_stats, "list a server's connections and their calls"),
            ("pid", cmd_pid, "print the server's process id and its parent's"),
            ("stop", cmd_stop, "end a server's process and the processes it started")):
        p = commands.add_parser(command, help=summary, description=summary[0].upper() + summary[1:]
                                + ". NAME is the server's alias.")
        p.add_argument("name", metavar="NAME")
        _connect_options(p)
        if command == "stop":
            p.add_argument("--wait", type=_wait, default=0, metavar="S",
                           help="seconds the server waits before it stops (default 0)")
        p.set_defaults(run=run)

    p = commands.add_parser("port", help="print the port that NAME gets when none is given",
                            description="Print the port that a server published as NAME "
                                        "listens on, and its clients call, when no --port is "
                                        "given: the same on every machine and in every run.")
    p.add_argument("name", metavar="NAME")
    p.set_defaults(run=cmd_port)

    p = commands.add_parser("demo", help="start a server on a thread and call it a few times",
                            description="Start a server on a background thread in this "
                                        "process and make a few calls to it.")
    p.set_defaults(run=cmd_demo)
    return parser


def parse_command_line(argv: Sequence[str] | None = None) -> argparse.Namespace:
    """The parsed command line; exits with status 2 and one line on standard error when it is
    malformed."""
    parser = build_parser()
    # Options may come between the arguments of a call (lumo call calc.add 1 --port 5000 2):
    # argparse leaves the arguments after an option over, and they join the others here.
    args, extra = parser.parse_known_args(argv)
    if extra:
        head, tail = extra, []
        if "--" in extra:  # what follows "--" is arguments, whatever it looks like
            i = extra.index("--")
            head, tail = extra[:i], extra[i + 1:]
        if args.command != "call" or any(w.startswith("-") and not _NUMBER.fullmatch(w)
                                         for w in head):
            parser.error(f"unrecognized arguments: {' '.join(extra)}")
        args.arguments = [*args.arguments, *head, *tail]
    if args.command is None:
        parser.error("choose a command: serve, call, ping, stats, pid, stop, port or demo")
    return args


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_command_line(argv)
    configure_logging(args)
    try:
        status: int = args.run(args)
        return status
    except Failure as failure:
        print(f"{PROG} {args.command}: {_one_line(str(failure))}", file=sys.stderr)
        return failure.status
    except KeyboardInterrupt:
        print(f"{PROG} {args.command}: interrupted", file=sys.stderr)
        return 130
    except ImportError as exc:  # an extension module that is missing or was built for another Python
        print(f"{PROG} {args.command}: {_one_line(str(exc))}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
