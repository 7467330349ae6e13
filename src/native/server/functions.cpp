// The functions of lumo.server: terminate (end the process tree), start (run
// a server until Ctrl+C) and serve (publish an object).
#include "server/module.hpp"

namespace server {
namespace {

// ------------------------------------------------------------- terminate

// iprint(value)
Ref iprint(Func& f, PyObject* value) {
  Ref fn = pyrt::global(f, names.iprint);
  if (!fn) return fn;
  return pyrt::call(fn.get(), value);
}

// children + [current] when `itself` is true, else children.
Ref to_kill(PyObject* current, Ref children, PyObject* itself) {
  const int with_current = truth(itself);
  if (with_current < 0) return Ref();
  if (!with_current) return children;
  Ref last = Ref::steal(PyList_New(1));
  if (!last) return last;
  PyList_SET_ITEM(last.get(), 0, pyrt::new_ref(current));
  return Ref::steal(PyNumber_Add(children.get(), last.get()));
}

// p.terminate() for every process; one that is gone already is printed.
// Every process is signalled before any is waited for; the calling process,
// when listed, comes last.
int signal_all(Func& f, PyObject* psutil, PyObject* tokill) {
  Ref it = Ref::steal(PyObject_GetIter(tokill));
  if (!it) return -1;
  while (Ref p = Ref::steal(PyIter_Next(it.get()))) {
    Ref done = pyrt::call_method(p.get(), names.terminate);
    if (done) continue;
    pyrt::SavedError e;
    Handling handling(e.value());
    Ref gone_class = pyrt::getattr(psutil, names.NoSuchProcess);
    if (!gone_class) return -1;
    if (!e.matches(gone_class.get())) {
      e.restore();
      return -1;
    }
    Ref print = pyrt::global(f, names.print);
    if (!print) return -1;
    Ref name = pyrt::call_method(p.get(), names.name);
    if (!name) return -1;
    Ref printed = pyrt::call(print.get(), names.t_no_such_process, name.get());
    if (!printed) return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

// gone, alive = psutil.wait_procs(tokill); p.kill() for each p alive; (gone, alive).
Ref kill_survivors(PyObject* psutil, PyObject* tokill) {
  Ref waited = pyrt::call_method(psutil, names.wait_procs, tokill);
  if (!waited) return waited;
  Ref result[2];
  if (unpack(waited.get(), 2, result) < 0) return Ref();
  Ref it = Ref::steal(PyObject_GetIter(result[1].get()));
  if (!it) return it;
  while (Ref p = Ref::steal(PyIter_Next(it.get()))) {
    Ref killed = pyrt::call_method(p.get(), names.kill);
    if (!killed) return killed;
  }
  if (PyErr_Occurred()) return Ref();
  return Ref::steal(PyTuple_Pack(2, result[0].get(), result[1].get()));
}

// terminate(wait: int = 3, itself: bool = True, kill: bool = True)
Ref f_terminate(Func& f, PyObject* const* a) {
  PyObject* wait = a[0];
  Ref time = pyrt::import(names.time);
  Ref psutil = time ? pyrt::import(names.psutil) : Ref();
  if (!psutil) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Ref();
    pyrt::SavedError e;
    Handling handling(e.value());
    return iprint(f, e.value());
  }

  Ref r = iprint(f, names.t_wait);
  if (!r) return r;
  r = pyrt::call_method(time.get(), names.sleep, wait);
  if (!r) return r;

  Ref process_class = pyrt::getattr(psutil.get(), names.Process);
  if (!process_class) return process_class;
  Ref current = pyrt::call(process_class.get());
  if (!current) return current;
  PyObject* children_args[] = {current.get(), Py_True};
  Ref children = Ref::steal(PyObject_VectorcallMethod(names.children, children_args,
                                                      1 | PY_VECTORCALL_ARGUMENTS_OFFSET, names.kw_recursive));
  if (!children) return children;
  Ref tokill = to_kill(current.get(), std::move(children), a[1]);
  if (!tokill) return tokill;

  const int kill = truth(a[2]);
  if (kill < 0) return Ref();
  if (!kill) {
    Ref shown = pyrt::text(tokill.get());
    if (!shown) return shown;
    return iprint(f, shown.get());
  }
  if (signal_all(f, psutil.get(), tokill.get()) < 0) return Ref();
  return kill_survivors(psutil.get(), tokill.get());
}

// ------------------------------------------------------------- start

// start(s: "Server", clean: "bool" = False)
Ref f_start(Func& f, PyObject* const* a) {
  PyObject* s = a[0];
  Ref r = pyrt::call_method(s, names.serve_forever);
  if (r) return pyrt::none();

  pyrt::SavedError e;
  Handling handling(e.value());
  Ref interrupt = pyrt::global(f, names.KeyboardInterrupt);
  if (!interrupt) return interrupt;
  if (!e.matches(interrupt.get())) {
    e.restore();
    return Ref();
  }
  r = pyrt::call_method(s, names.server_close);
  if (!r) return r;
  Ref log = pyrt::getattr(s, names.log);
  if (!log) return log;
  Ref alias = pyrt::getattr(s, names._alias);
  if (!alias) return alias;
  Ref alias_text = pyrt::text(alias.get());
  if (!alias_text) return alias_text;
  Ref address = pyrt::getattr(s, names.server_address);
  if (!address) return address;
  Ref address_text = pyrt::text(address.get());
  if (!address_text) return address_text;
  PyObject* pieces[] = {names.t_stopping, alias_text.get(), names.t_at, address_text.get(),
                        names.t_bangs};
  Ref line = pyrt::concat(pieces);
  if (!line) return line;
  r = pyrt::call_method(log.get(), names.warning, line.get());
  if (!r) return r;

  const int clean = truth(a[1]);
  if (clean < 0) return Ref();
  if (clean) {
    Ref terminate = pyrt::global(f, names.terminate);
    if (!terminate) return terminate;
    r = pyrt::call(terminate.get());
    if (!r) return r;
  }
  return pyrt::none();
}

// ------------------------------------------------------------- serve

// log.info(alias + " is serving at " + host + ":" + str(port))
Ref announce(PyObject* log, PyObject* alias, PyObject* host, PyObject* port) {
  Ref port_text = pyrt::text(port);
  if (!port_text) return port_text;
  PyObject* pieces[] = {alias, names.t_serving_at, host, names.t_colon, port_text.get()};
  Ref line = pyrt::concat(pieces);
  if (!line) return line;
  return pyrt::call_method(log, names.info, line.get());
}

// Thread(target=start, daemon=True, args=(server, clean)).start()
Ref start_thread(Func& f, PyObject* server, PyObject* clean) {
  Ref threading = pyrt::import(names.threading);
  if (!threading) return threading;
  Ref thread_class = pyrt::getattr(threading.get(), names.Thread);
  if (!thread_class) return thread_class;
  Ref start = pyrt::global(f, names.start);
  if (!start) return start;
  Ref start_args = Ref::steal(PyTuple_Pack(2, server, clean));
  if (!start_args) return start_args;
  PyObject* thread_args[] = {nullptr, start.get(), Py_True, start_args.get()};
  Ref t = Ref::steal(
      PyObject_Vectorcall(thread_class.get(), thread_args + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, names.kw_thread));
  if (!t) return t;
  return pyrt::call_method(t.get(), names.start);
}

// serve(obj, alias: str = "", host: str = "127.0.0.1", port: int = 0,
//       thread: bool = False, clean: bool = False)
Ref f_serve(Func& f, PyObject* const* a) {
  PyObject* obj = a[0];
  PyObject* alias = a[1];
  PyObject* host = a[2];
  PyObject* thread = a[4];
  PyObject* clean = a[5];

  Ref log = pyrt::make_logger(f, alias);
  if (!log) return log;
  Ref port = pyrt::resolve_port(f, a[3], alias);
  if (!port) return port;
  Ref r = announce(log.get(), alias, host, port.get());
  if (!r) return r;

  Ref server_class = pyrt::global(f, names.Server);
  if (!server_class) return server_class;
  Ref address = Ref::steal(PyTuple_Pack(2, host, port.get()));
  if (!address) return address;
  Ref handler_class = pyrt::global(f, names.RequestHandler);
  if (!handler_class) return handler_class;
  PyObject* server_args[] = {nullptr, address.get(), handler_class.get(), obj, alias};
  Ref server = Ref::steal(
      PyObject_Vectorcall(server_class.get(), server_args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, names.kw_obj_alias));
  if (!server) return server;
  if (pyrt::setattr(server.get(), names.log, log.get()) < 0) return Ref();

  const int background = truth(thread);
  if (background < 0) return Ref();
  if (background) {
    r = start_thread(f, server.get(), clean);
  } else {
    Ref start = pyrt::global(f, names.start);
    if (!start) return start;
    r = pyrt::call(start.get(), server.get(), clean);
  }
  if (!r) return r;
  return pyrt::none();
}

const Param p_terminate[] = {
    {"wait", "int", Check::Int, pyrt::dint(3)},
    {"itself", "bool", Check::None, pyrt::dbool(true)},
    {"kill", "bool", Check::None, pyrt::dbool(true)},
};
const Param p_start[] = {
    {"s", "Server"},
    {"clean", "bool", Check::None, pyrt::dbool(false)},
};
const Param p_serve[] = {
    {"obj"},
    {"alias", "str", Check::Str, pyrt::dstr("")},
    {"host", "str", Check::Str, pyrt::dstr("127.0.0.1")},
    {"port", "int", Check::Int, pyrt::dint(0)},
    {"thread", "bool", Check::None, pyrt::dbool(false)},
    {"clean", "bool", Check::None, pyrt::dbool(false)},
};

constexpr const char* kTerminateDoc =
    "Shutdown a server(ctrl+c)\n"
    "\n"
    "Ends every descendant of the calling process and then, by default, the\n"
    "calling process itself. Two ways of raising the interrupt in the own process:\n"
    "\n"
    "    signal.raise_signal(signal.CTRL_C_EVENT)\n"
    "    os.kill(os.getpid(), signal.SIGINT)\n"
    "\n"
    "Args:\n"
    "    wait (int, optional): time to wait. Defaults to 3.\n"
    "    itself (bool, optional): kill the process it self if true. Defaults to True.\n"
    "    kill (bool, optional): return the process list if not true. Defaults to True.\n"
    "\n"
    "Returns:\n"
    "    _type_: _description_";

constexpr const char* kServeDoc =
    "start a server for an object(function, class or a moudle)\n"
    "\n"
    "Args:\n"
    "    obj (Any): the object to publish: a function, a class or a module.\n"
    "    alias (str, optional): the name the object is published under. Defaults to None.\n"
    "    host (str, optional): the address to listen on. Defaults to '127.0.0.1'.\n"
    "    port (int, optional): the port to listen on; chosen by get_port from the alias\n"
    "        when not given. Defaults to 0.\n"
    "    thread (bool, optional): run the server on a separate thread and return at once.\n"
    "        Defaults to False.\n"
    "    clean (bool, optional): call terminate after ctrl+c, ending the process tree.\n"
    "        Defaults to False.";

}  // namespace

const pyrt::FuncDef def_terminate{"terminate", "terminate", p_terminate, f_terminate, kTerminateDoc};
const pyrt::FuncDef def_start{"start", "start", p_start, f_start};
const pyrt::FuncDef def_serve{"serve", "serve", p_serve, f_serve, kServeDoc};

}  // namespace server
