// lumo.client.Client: opening the connection, sending a request and the call
// path, which reconnects and resends once when the connection was lost and
// hands network failures back as the logger's values instead of raising.
#include "client/client.hpp"

namespace client {
namespace {

using pyrt::Ref;

// Errors that mean the connection is gone: the call reconnects and resends.
bool lost_connection() {
  return error_in({PyExc_ConnectionAbortedError, PyExc_ConnectionResetError, PyExc_BrokenPipeError});
}

// Errors of a receive that end the call with a critical line and its value.
bool failed_receive() {
  return error_in({PyExc_ConnectionAbortedError, PyExc_ConnectionResetError, PyExc_BrokenPipeError,
                   PyExc_TimeoutError, PyExc_MemoryError, PyExc_BufferError, PyExc_KeyboardInterrupt});
}

// Errors of opening a connection (every OSError).
bool failed_connect() {
  return error_in({PyExc_OSError, PyExc_ConnectionRefusedError, PyExc_TimeoutError});
}

// self.log.critical(head + type(exc).__name__ + sep + text(exc)), sep may be null.
Ref log_exception(PyObject* self, PyObject* head, PyObject* exc, PyObject* sep) {
  Ref log = pyrt::getattr(self, names.log);
  if (!log) return log;
  pyrt::Method critical = pyrt::method(log.get(), names.critical);
  if (!critical) return Ref();
  Ref name = type_name(exc);
  if (!name) return name;
  Ref shown = pyrt::text(exc);
  if (!shown) return shown;
  Ref line;
  if (sep) {
    PyObject* pieces[] = {head, name.get(), sep, shown.get()};
    line = pyrt::concat(pieces);
  } else {
    PyObject* pieces[] = {head, name.get(), shown.get()};
    line = pyrt::concat(pieces);
  }
  if (!line) return line;
  return critical(line.get());
}

Ref m_init(pyrt::Func& f, PyObject* const* a) {
  Ref init = pyrt::super_attr(f, a[0], names.__init__);
  if (!init) return init;
  Ref r = pyrt::call(init.get(), a[1], a[2], a[3]);
  if (!r) return r;
  return pyrt::none();
}

// The reads of every call, each remembered for the class it last saw.
pyrt::AttrSite site_request, site_connection, site_parse, site_msgid;

// self._request(method, args, kwds), dispatched through the instance.
Ref request(PyObject* self, PyObject* method, PyObject* args, PyObject* kwds) {
  pyrt::Method send = pyrt::method(self, names._request, site_request);
  return send ? send(method, args, kwds) : Ref();
}

Ref open_connection(PyObject* self) {
  pyrt::Method open = pyrt::method(self, names.open_connection);
  return open ? open() : Ref();
}

Ref m_call(pyrt::Func& f, PyObject* const* a) {
  PyObject* self = a[0];
  PyObject* method = a[1];
  PyObject* args = a[2];
  PyObject* kwds = a[3];

  // Reconnect if there is no channel or it has closed.
  Ref channel = pyrt::getattr(self, names._connection, site_connection);
  if (!channel) return channel;
  bool reopen = channel.get() == Py_None;
  bool ran_code = true;  // may anything have rebound _connection since it was read?
  if (!reopen) {
    int t = client::channel.closed(channel.get(), &ran_code);
    if (t < 0) return Ref();
    reopen = t != 0;
  }
  if (reopen && !open_connection(self)) return Ref();

  // Still no channel: no connection could be made (already logged), or no host.
  if (reopen || ran_code) channel = pyrt::getattr(self, names._connection, site_connection);
  if (!channel) return channel;
  int usable = PyObject_IsTrue(channel.get());
  if (usable < 0) return Ref();
  if (!usable) return pyrt::none();

  // First attempt: drop stale input, notice a peer that went away, send.
  Ref sent = client::channel.flush(channel.get());
  if (sent) sent = request(self, method, args, kwds);
  if (!sent) {
    if (!lost_connection()) return Ref();
    pyrt::SavedError lost;
    static PyObject* const send_head = pyrt::intern("@SEND: ");
    bool ok = static_cast<bool>(log_exception(self, send_head, lost.value(), nullptr));
    ok = ok && open_connection(self);
    if (ok && !request(self, method, args, kwds)) {
      if (!lost_connection()) {
        chain_context(lost);
        return Ref();
      }
      pyrt::SavedError again;
      static PyObject* const resend_head = pyrt::intern("@RESEND: ");
      if (!log_exception(self, resend_head, again.value(), nullptr)) {
        chain_context(again);
        return Ref();
      }
    }
    if (!ok) {
      chain_context(lost);
      return Ref();
    }
  }

  // Exactly one receive, on whatever channel the client has now.
  channel = pyrt::getattr(self, names._connection, site_connection);
  if (!channel) return channel;
  Ref response = client::channel.recv(channel.get());
  if (!response) {
    if (!failed_receive()) return Ref();
    pyrt::SavedError failed;
    response = failed.take_value();
  }
  if (PyExceptionInstance_Check(response.get())) {
    static PyObject* const recv_head = pyrt::intern("@RECV: ");
    static PyObject* const blank = pyrt::intern(" ");
    return log_exception(self, recv_head, response.get(), blank);
  }

  pyrt::Method parse = pyrt::method(self, names._parse, site_parse);
  if (!parse) return Ref();
  Ref result = parse(response.get());
  if (result || !PyErr_ExceptionMatches(PyExc_Exception)) return result;

  // A response that does not answer this request: the logger's value for it.
  pyrt::SavedError rejected;
  // The logger sees the rejection as the exception being handled, not whatever
  // the caller happens to be handling around the call.
  pyrt::Handling handling(rejected.value());
  Ref err;
  Ref describe = pyrt::global(f, names.iformat);
  Ref call_text = describe ? pyrt::call(describe.get(), method, args, kwds) : Ref();
  if (call_text) call_text = pyrt::text(call_text.get());
  Ref reason = call_text ? pyrt::text(rejected.value()) : Ref();
  if (reason) {
    static PyObject* const head = pyrt::intern("Failure");
    static PyObject* const blank = pyrt::intern(" ");
    PyObject* pieces[] = {head, call_text.get(), blank, reason.get()};
    Ref line = pyrt::concat(pieces);
    if (line) err = pyrt::call(PyExc_Exception, line.get());
  }
  Ref log = err ? pyrt::getattr(self, names.log) : Ref();
  pyrt::Method error = log ? pyrt::method(log.get(), names.error) : pyrt::Method{};
  Ref value = error ? error(err.get()) : Ref();
  if (!value) chain_context(rejected);
  return value;
}

// The four lines of a failed connect; the pieces between the values.
constexpr const char kFailHead[] = "Connection failed (";
constexpr const char kFailHost[] =
    "), please check: \n"
    "                        1. the network is connected\n"
    "                        2. the server info(host(";
constexpr const char kFailPort[] = ") or port(";
constexpr const char kFailAlias[] =
    ")) is correct \n"
    "                        3. the server(";
constexpr const char kFailTail[] = ") has been started!";

Ref connect_failure_text(PyObject* self, PyObject* exc) {
  Ref shown = pyrt::text(exc);
  if (!shown) return shown;
  Ref host = pyrt::getattr(self, names._host);
  if (host) host = pyrt::text(host.get());
  if (!host) return host;
  Ref port = pyrt::getattr(self, names._port);
  if (port) port = pyrt::text(port.get());
  if (!port) return port;
  Ref alias = pyrt::getattr(self, names.alias);
  if (alias) alias = pyrt::text(alias.get());
  if (!alias) return alias;
  static PyObject* const head = pyrt::intern(kFailHead);
  static PyObject* const before_host = pyrt::intern(kFailHost);
  static PyObject* const before_port = pyrt::intern(kFailPort);
  static PyObject* const before_alias = pyrt::intern(kFailAlias);
  static PyObject* const tail = pyrt::intern(kFailTail);
  PyObject* pieces[] = {head,        shown.get(), before_host, host.get(), before_port,
                        port.get(),  before_alias, alias.get(), tail};
  return pyrt::concat(pieces);
}

// Steps of opening: socket, time-out, connect, channel. Null with an error set on failure.
Ref open_channel(pyrt::Func& f, PyObject* self) {
  Ref socket_module = pyrt::global(f, names.socket);
  if (!socket_module) return socket_module;
  pyrt::Method make = pyrt::method(socket_module.get(), names.socket);
  Ref sock = make ? make() : Ref();
  if (!sock) return sock;

  pyrt::Method settimeout = pyrt::method(sock.get(), names.settimeout);
  if (!settimeout) return Ref();
  Ref timeout = pyrt::getattr(self, names._timeout);
  if (!timeout || !settimeout(timeout.get())) return Ref();

  pyrt::Method connect = pyrt::method(sock.get(), names.connect);
  if (!connect) return Ref();
  Ref host = pyrt::getattr(self, names._host);
  if (!host) return host;
  Ref port = pyrt::getattr(self, names._port);
  if (!port) return port;
  Ref address = Ref::steal(PyTuple_Pack(2, host.get(), port.get()));
  if (!address || !connect(address.get())) return Ref();

  Ref connection = pyrt::global(f, names.Connection);
  if (!connection) return connection;
  Ref channel = pyrt::call(connection.get(), sock.get());
  if (!channel) return channel;
  // TLS checks the server's certificate against the host this client was
  // given, not only its address; a channel that takes no attributes checks
  // the address.
  if (pyrt::setattr(channel.get(), pyrt::intern("server_hostname"), host.get()) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_TypeError)) return Ref();
    PyErr_Clear();
  }
  if (pyrt::setattr(self, names._connection, channel.get()) < 0) return Ref();
  return pyrt::none();
}

Ref m_open_connection(pyrt::Func& f, PyObject* const* a) {
  PyObject* self = a[0];
  Ref host = pyrt::getattr(self, names._host);
  if (!host) return host;
  int t = PyObject_IsTrue(host.get());
  if (t < 0) return Ref();
  if (!t) return pyrt::none();

  Ref opened = open_channel(f, self);
  if (opened || !failed_connect()) return opened;
  // The new socket was dropped with the failed attempt; the old channel stays.
  pyrt::SavedError failed;
  Ref line = connect_failure_text(self, failed.value());
  Ref log = line ? pyrt::getattr(self, names.log) : Ref();
  pyrt::Method critical = log ? pyrt::method(log.get(), names.critical) : pyrt::Method{};
  Ref value = critical ? critical(line.get()) : Ref();
  if (!value) chain_context(failed);
  return value;
}

// The REQUEST tag read from the module, as long as the module is unchanged.
pyrt::GlobalSite request_tag;

Ref m_request(pyrt::Func& f, PyObject* const* a) {
  PyObject* self = a[0];
  static PyObject* const one = PyLong_FromLong(1);  // a cached small int
  Ref id = pyrt::getattr(self, names._msgid, site_msgid);
  if (!id) return id;
  id = Ref::steal(PyNumber_InPlaceAdd(id.get(), one));
  if (!id || pyrt::setattr(self, names._msgid, id.get()) < 0) return Ref();

  Ref tag = pyrt::global(f, names.REQUEST, request_tag);
  if (!tag) return tag;
  id = pyrt::getattr(self, names._msgid, site_msgid);
  if (!id) return id;
  PyObject* message = PyTuple_New(5);
  if (!message) return Ref();
  Ref request = Ref::steal(message);
  PyTuple_SET_ITEM(message, 0, tag.release());
  PyTuple_SET_ITEM(message, 1, id.release());
  PyTuple_SET_ITEM(message, 2, Ref::borrow(a[1]).release());
  PyTuple_SET_ITEM(message, 3, Ref::borrow(a[2]).release());
  PyTuple_SET_ITEM(message, 4, Ref::borrow(a[3]).release());

  Ref channel = pyrt::getattr(self, names._connection, site_connection);
  if (!channel) return channel;
  if (!client::channel.send(channel.get(), message)) return Ref();
  return pyrt::none();
}

const pyrt::Param p_init[] = {
    {"self"},
    {"host", "str", pyrt::Check::Str},
    {"port", "int", pyrt::Check::Int},
    {"timeout", "float", pyrt::Check::Float},
};
const pyrt::Param p_call[] = {
    {"self"},
    {"method", "str", pyrt::Check::Str},
    {"args", nullptr, pyrt::Check::None, {}, pyrt::Kind::VarArgs},
    {"kwds", nullptr, pyrt::Check::None, {}, pyrt::Kind::VarKw},
};
const pyrt::Param p_self[] = {{"self"}};
const pyrt::Param p_request[] = {{"self"}, {"method", "str", pyrt::Check::Str}, {"args"}, {"kwds"}};

const pyrt::FuncDef d_init{"__init__", "Client.__init__", p_init, m_init};
const pyrt::FuncDef d_call{"call", "Client.call", p_call, m_call, "Calling remote method\n        "};
const pyrt::FuncDef d_open_connection{"open_connection", "Client.open_connection", p_self, m_open_connection};
const pyrt::FuncDef d_request{"_request", "Client._request", p_request, m_request};

}  // namespace

Ref call_bound(PyObject* fn, PyObject* self, PyObject* method, PyObject* args, PyObject* kwds, bool* called) {
  *called = false;
  if (!pyrt::is_function(fn) || reinterpret_cast<pyrt::Func*>(fn)->def != &d_call || !PyUnicode_CheckExact(method))
    return Ref();
  *called = true;
  PyObject* const slots[] = {self, method, args, kwds};
  return m_call(*reinterpret_cast<pyrt::Func*>(fn), slots);
}

Ref make_client(PyObject* module, PyObject* base) {
  Ref bases = Ref::steal(PyTuple_Pack(1, base));
  if (!bases) return bases;
  const pyrt::Member members[] = {
      {"__init__", &d_init},
      {"call", &d_call},
      {"open_connection", &d_open_connection},
      {"_request", &d_request},
  };
  return pyrt::make_class(module, "Client", bases.get(), members);
}

}  // namespace client
