// lumo.server.RequestHandler: serves one connection on its own thread, one
// request at a time, until the connection ends.
//
// process() runs once per call: the names it needs are interned at module
// exec, methods are called through PyObject_VectorcallMethod (no bound
// method objects), and a successful call allocates nothing beyond what the
// call itself, the parse and the response tuple need.
#include "server/module.hpp"

namespace server {
namespace {

// ------------------------------------------------------------- setup

// The reads of every call, each remembered for the class it last saw.
pyrt::AttrSite site_connection, site_process, site_client_address, site_server, site_client, site_record, site_parse;

// Logs prefix + the client address + suffix through server.log.<level>,
// reading server, its log and client_address in that order.
Ref log_peer(PyObject* self, PyObject* level, PyObject* prefix, PyObject* suffix) {
  Ref server = pyrt::getattr(self, names.server);
  if (!server) return server;
  Ref log = pyrt::getattr(server.get(), names.log);
  if (!log) return log;
  Ref address = pyrt::getattr(self, names.client_address);
  if (!address) return address;
  Ref shown = pyrt::text(address.get());
  if (!shown) return shown;
  PyObject* pieces[] = {prefix, shown.get(), suffix};
  Ref line = pyrt::concat(pieces);
  if (!line) return line;
  return pyrt::call_method(log.get(), level, line.get());
}

// setup(self)
Ref m_setup(Func& f, PyObject* const* a) {
  PyObject* self = a[0];
  Ref record = Ref::steal(PyDict_New());
  if (!record || pyrt::setattr(self, names.record, record.get()) < 0) return Ref();

  Ref r = log_peer(self, names.info, names.t_client_, names.t_connected);
  if (!r) return r;

  record = pyrt::getattr(self, names.record);
  if (!record) return record;
  Ref server = pyrt::getattr(self, names.server);
  if (!server) return server;
  Ref statistics = pyrt::getattr(server.get(), names.statistics);
  if (!statistics) return statistics;
  Ref address = pyrt::getattr(self, names.client_address);
  if (!address || PyObject_SetItem(statistics.get(), address.get(), record.get()) < 0) return Ref();

  Ref connection_class = pyrt::global(f, names.Connection);
  if (!connection_class) return connection_class;
  Ref sock = pyrt::getattr(self, names.request);
  if (!sock) return sock;
  Ref connection = pyrt::call(connection_class.get(), sock.get());
  if (!connection || pyrt::setattr(self, names._connection, connection.get()) < 0) return Ref();
  return pyrt::none();
}

// ------------------------------------------------------------- handle

// Is the pending exception one of the connection errors? Runs inside the
// except scope, as the match of an except clause does.
int connection_error(Func& f, const pyrt::SavedError& e) {
  PyObject* const which[] = {names.ConnectionResetError, names.ConnectionAbortedError, names.BrokenPipeError};
  for (PyObject* name : which) {
    Ref cls = pyrt::global(f, name);
    if (!cls) return -1;
    if (e.matches(cls.get())) return 1;
  }
  return 0;
}

// handle(self)
Ref m_handle(Func& f, PyObject* const* a) {
  PyObject* self = a[0];
  for (;;) {
    Ref connection = pyrt::getattr(self, names._connection, site_connection);
    if (!connection) return connection;
    const int done = channel.closed(connection.get());
    if (done < 0) return Ref();
    if (done) return pyrt::none();
    connection.reset();

    pyrt::Method process = pyrt::method(self, names.process, site_process);
    Ref r = process ? process() : Ref();
    if (r) continue;

    pyrt::SavedError e;
    Handling handling(e.value());
    const int lost = connection_error(f, e);
    if (lost < 0) return Ref();
    if (lost) {
      Ref kind = type_name(e.value());
      if (!kind) return kind;
      Ref kind_text = pyrt::text(kind.get());
      if (!kind_text) return kind_text;
      Ref message = pyrt::text(e.value());
      if (!message) return message;
      PyObject* pieces[] = {kind_text.get(), names.blank, message.get()};
      Ref line = pyrt::concat(pieces);
      if (!line) return line;
      Ref server = pyrt::getattr(self, names.server);
      if (!server) return server;
      Ref log = pyrt::getattr(server.get(), names.log);
      if (!log) return log;
      Ref logged = pyrt::call_method(log.get(), names.critical, line.get());
      if (!logged) return logged;
      return pyrt::none();
    }
    if (e.matches(PyExc_Exception)) return pyrt::none();
    e.restore();
    return Ref();
  }
}

// ------------------------------------------------------------- process

// What a pass has unpacked so far; the error path needs it.
struct Pass {
  Pass(PyObject* self_, Request& request_) : self(self_), request(request_) {}
  PyObject* self;
  Request& request;
  Ref record;
  Ref key;       // element 2 of the request
  Ref msgid;
  Ref args;
  Ref kwds;  // null for a split request's empty keywords
  bool parsed = false;
};

// The call arguments: args as a tuple, kwds as a new dict (null when empty).
int call_arguments(Pass& p, Ref& args, Ref& kwds) {
  args = PyTuple_CheckExact(p.args.get()) ? p.args.copy() : Ref::steal(PySequence_Tuple(p.args.get()));
  if (!args) return -1;
  PyObject* k = p.kwds.get();
  if (!k) return 0;
  if (k == Py_None) {
    raise_error(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
    return -1;
  }
  if (PyDict_CheckExact(k)) {
    // A copy, as a call with **kwds makes; an empty one is no keywords at all.
    if (PyDict_GET_SIZE(k)) kwds = Ref::steal(PyDict_Copy(k));
    else return 0;
  } else {
    kwds = pyrt::call(reinterpret_cast<PyObject*>(&PyDict_Type), k);
  }
  return kwds ? 0 : -1;
}

// Steps of a pass that are answered whatever happens: note the sender, make
// the entry of the name, parse, call, count. Returns the call's result.
Ref serve_request(Pass& p) {
  Ref address = pyrt::getattr(p.self, names.client_address, site_client_address);
  if (!address) return address;
  Ref host = item(address.get(), 0);
  if (!host) return host;
  Ref server = pyrt::getattr(p.self, names.server, site_server);
  if (!server) return server;
  Ref client = pyrt::getattr(server.get(), names.client, site_client);
  if (!client || refresh_item(client.get(), names.host, host.get()) < 0) return Ref();
  Ref port = item(address.get(), 1);
  if (!port || refresh_item(client.get(), names.port, port.get()) < 0) return Ref();

  p.key = item(p.request, 2);
  if (!p.key) return Ref();
  p.record = pyrt::getattr(p.self, names.record, site_record);
  if (!p.record) return Ref();
  const int known = contains(p.record.get(), p.key.get());
  if (known < 0) return Ref();
  if (!known) {
    Ref entry = Ref::steal(PyDict_New());
    if (!entry || PyDict_SetItem(entry.get(), names.count, names.zero) < 0 ||
        set_item(p.record.get(), p.key.get(), entry.get()) < 0)
      return Ref();
  }

  pyrt::Method parse = pyrt::method(server.get(), names._parse, site_parse);
  Ref parts[4];
  if (!parse || parse_request(parse, p.request, parts) < 0) return Ref();
  p.msgid = std::move(parts[0]);
  p.args = std::move(parts[2]);
  p.kwds = std::move(parts[3]);
  p.parsed = true;
  PyObject* function = parts[1].get();
  if (PyUnicode_Check(function)) {
    return raise_error(PyExc_AttributeError, function);
  }

  Ref args, kwds;
  if (call_arguments(p, args, kwds) < 0) return Ref();
  Ref result = pyrt::call_args(function, args.get(), kwds.get());
  if (!result) return result;

  Ref key = item(p.request, 2);
  if (!key) return key;
  Ref entry = get_item(p.record.get(), key.get());
  if (!entry) return entry;
  Ref count = get_item(entry.get(), names.count);
  if (!count) return count;
  count = Ref::steal(PyNumber_InPlaceAdd(count.get(), names.one));
  if (!count || set_item(entry.get(), names.count, count.get()) < 0) return Ref();
  return result;
}

// The error value of a failure `e` once the request is parsed: the logger's
// answer to Exception(<class name><call description> <text of e>).
Ref error_value(Func& f, Pass& p, PyObject* e) {
  Ref kind = type_name(e);
  if (!kind) return kind;
  Ref kind_text = pyrt::text(kind.get());
  if (!kind_text) return kind_text;
  Ref iformat = pyrt::global(f, names.iformat);
  if (!iformat) return iformat;
  Ref key = item(p.request, 2);
  if (!key) return key;
  if (!p.kwds && !(p.kwds = Ref::steal(PyDict_New()))) return Ref();
  Ref call = pyrt::call(iformat.get(), key.get(), p.args.get(), p.kwds.get());
  if (!call) return call;
  Ref call_text = pyrt::text(call.get());
  if (!call_text) return call_text;
  Ref message = pyrt::text(e);
  if (!message) return message;
  PyObject* pieces[] = {kind_text.get(), call_text.get(), names.blank, message.get()};
  Ref text = pyrt::concat(pieces);
  if (!text) return text;
  Ref err = pyrt::call(PyExc_Exception, text.get());
  if (!err) return err;
  Ref server = pyrt::getattr(p.self, names.server);
  if (!server) return server;
  Ref log = pyrt::getattr(server.get(), names.log);
  if (!log) return log;
  return pyrt::call_method(log.get(), names.error, err.get());
}

// The RESPONSE tag read from the module, as long as the module is unchanged.
pyrt::GlobalSite response_tag;

// connection.send((RESPONSE, msgid, response))
Ref send_response(Func& f, PyObject* connection, PyObject* msgid, PyObject* response) {
  Ref tag = pyrt::global(f, names.RESPONSE, response_tag);
  if (!tag) return tag;
  PyObject* const message[] = {tag.get(), msgid, response};
  return channel.send_tuple(connection, message, 3);
}

// An echoing channel: print(request) and send it back as it came.
Ref echo(Func& f, PyObject* connection, PyObject* request) {
  Ref print = pyrt::global(f, names.print);
  if (!print) return print;
  Ref printed = pyrt::call(print.get(), request);
  if (!printed) return printed;
  Ref sent = channel.send(connection, request);
  if (!sent) return sent;
  return pyrt::none();
}

// isinstance(request, (tuple, list)), for a request that is neither by its
// type (isinstance() also asks the object's __class__): 0, or -1 with an error set.
int check_kind(PyObject* request) {
  Ref kinds = Ref::steal(
      PyTuple_Pack(2, reinterpret_cast<PyObject*>(&PyTuple_Type), reinterpret_cast<PyObject*>(&PyList_Type)));
  if (!kinds) return -1;
  const int ok = PyObject_IsInstance(request, kinds.get());
  if (ok < 0) return -1;
  if (!ok) raise_error(PyExc_TypeError, "Invalid protocol");
  return ok ? 0 : -1;
}

// Sends the answer. The channel encodes a whole message before it writes a
// byte, so a result that cannot be encoded (a generator, a lock) leaves the
// stream intact: it is answered as a failed call and the connection kept.
// Errors of the socket itself (OSError) end the connection.
Ref answer(Func& f, PyObject* connection, Pass& p, PyObject* response) {
  Ref sent = send_response(f, connection, p.msgid.get(), response);
  if (sent) return pyrt::none();
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_OSError)) return sent;
  pyrt::SavedError e;
  Handling handling(e.value());
  Ref failed = error_value(f, p, e.value());
  if (!failed) return failed;
  sent = send_response(f, connection, p.msgid.get(), failed.get());
  if (!sent) return sent;
  return pyrt::none();
}

// Answers a pass that failed with the pending error, which is the exception
// being handled meanwhile: with the logger's value for it; a request that
// never parsed is not answered, its error is left set.
Ref answer_failure(Func& f, PyObject* connection, Pass& p) {
  pyrt::SavedError e;
  Handling handling(e.value());
  if (!p.parsed) {
    // Nothing to answer with: no message id, no arguments. The failure
    // ends the connection (a message too short to have a name fails again
    // on reading it, as the error text would).
    Ref kind = type_name(e.value());
    if (!kind) return kind;
    Ref key = item(p.request, 2);
    if (!key) return key;
    e.restore();
    return Ref();
  }
  Ref response = error_value(f, p, e.value());
  if (!response) return response;
  return answer(f, connection, p, response.get());
}

// process(self)
Ref m_process(Func& f, PyObject* const* a) {
  PyObject* self = a[0];
  Ref connection = pyrt::getattr(self, names._connection, site_connection);
  if (!connection) return connection;
  Request request;
  if (channel.recv_tuple(connection.get(), request, kKeywordsMayBeNull) < 0) return Ref();

  Ref echoing = channel.onwebs(connection.get());
  if (!echoing) return echoing;
  const int echoes = truth(echoing.get());
  if (echoes < 0) return Ref();
  if (echoes) return request.whole() ? echo(f, connection.get(), request.whole()) : Ref();
  PyObject* whole = request.message.get();  // null when split: a tuple
  if (whole && !PyTuple_Check(whole) && !PyList_Check(whole) && check_kind(whole) < 0) return Ref();

  Pass p(self, request);
  Ref response = serve_request(p);
  if (response) return answer(f, connection.get(), p, response.get());
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return response;
  return answer_failure(f, connection.get(), p);
}

// ------------------------------------------------------------- finish

// finish(self)
Ref m_finish(Func&, PyObject* const* a) {
  PyObject* self = a[0];
  Ref r = log_peer(self, names.critical, names.t_client, names.t_disconnected);
  if (!r) return r;

  Ref server = pyrt::getattr(self, names.server);
  if (!server) return server;
  Ref statistics = pyrt::getattr(server.get(), names.statistics);
  if (!statistics) return statistics;
  Ref address = pyrt::getattr(self, names.client_address);
  if (!address) return address;
  Ref removed = pyrt::call_method(statistics.get(), names.pop, address.get(), names.empty);
  if (!removed) return removed;

  Ref connection = pyrt::getattr(self, names._connection);
  if (!connection || pyrt::setattr(connection.get(), names._closed, Py_True) < 0) return Ref();
  return pyrt::none();
}

const Param p_self[] = {{"self"}};

const pyrt::FuncDef d_setup{"setup", "RequestHandler.setup", p_self, m_setup};
const pyrt::FuncDef d_handle{"handle", "RequestHandler.handle", p_self, m_handle};
const pyrt::FuncDef d_process{"process", "RequestHandler.process", p_self, m_process};
const pyrt::FuncDef d_finish{"finish", "RequestHandler.finish", p_self, m_finish};

}  // namespace

Ref make_request_handler(PyObject* module) {
  Ref socketserver = pyrt::global_in(PyModule_GetDict(module), names.socketserver);
  if (!socketserver) return socketserver;
  Ref base = pyrt::getattr(socketserver.get(), names.BaseRequestHandler);
  if (!base) return base;
  Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
  if (!bases) return bases;
  const pyrt::Member members[] = {
      {"setup", &d_setup},
      {"handle", &d_handle},
      {"process", &d_process},
      {"finish", &d_finish},
  };
  return pyrt::make_class(module, "RequestHandler", bases.get(), members);
}

}  // namespace server
