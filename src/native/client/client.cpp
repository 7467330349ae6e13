// lumo.client.Client: opening the connection, sending a request and the call
// path, which reconnects and resends once when the connection was lost and
// hands network failures back as the logger's values instead of raising.
#include "client/client.hpp"

namespace client {
namespace {

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

Ref m_init(Func& f, PyObject* const* a) {
  Ref init = pyrt::super_attr(f, a[0], names.dunder_init);
  if (!init) return init;
  Ref r = pyrt::call(init.get(), a[1], a[2], a[3]);
  if (!r) return r;
  return pyrt::none();
}

// The reads of every call, each remembered for the class it last saw.
pyrt::AttrSite site_request, site_connection, site_parse, site_msgid, store_msgid;

// A call's keyword arguments: its dict, or, for a call without any, none until
// code other than the client's own needs one; then one empty dict is made for
// the whole call.
class Keywords {
  PyObject* given_;
  Ref made_;

 public:
  explicit Keywords(PyObject* given) : given_(given) {}
  PyObject* maybe() const { return given_ ? given_ : made_.get(); }  // null: none, not made
  PyObject* get() {
    if (!given_ && !made_) made_ = Ref::steal(PyDict_New());
    return maybe();
  }
};

Ref send_request(Func& f, PyObject* self, PyObject* method, PyObject* args, PyObject* kwds);
extern const pyrt::FuncDef d_request;

// self._request(method, args, kwds), dispatched through the instance. The
// client's own _request takes the call's parts as they are.
Ref request(PyObject* self, PyObject* method, PyObject* args, Keywords& kwds) {
  pyrt::Method send = pyrt::method(self, names._request, site_request);
  if (!send) return Ref();
  Func* own = PyUnicode_CheckExact(method) ? pyrt::own_method(send, d_request) : nullptr;
  if (own) return send_request(*own, self, method, args, kwds.maybe());
  PyObject* k = kwds.get();
  if (!k) return Ref();
  return send(method, args, k);
}

Ref open_connection(PyObject* self) { return pyrt::call_method(self, names.open_connection); }

// The channel to send on, reconnecting if there is none or it has closed:
// a false one (None) when no connection could be made (already logged) or
// there is no host.
Ref ensure_channel(PyObject* self) {
  Ref channel = pyrt::getattr(self, names._connection, site_connection);
  if (!channel) return channel;
  bool reopen = channel.get() == Py_None;
  bool ran_code = true;  // may anything have rebound _connection since it was read?
  if (!reopen) {
    const int t = client::channel.closed(channel.get(), &ran_code);
    if (t < 0) return Ref();
    reopen = t != 0;
  }
  if (reopen && !open_connection(self)) return Ref();
  if (reopen || ran_code) channel = pyrt::getattr(self, names._connection, site_connection);
  return channel;
}

// Drops stale input, notices a peer that went away, sends the request; when
// the connection was lost, logs it, reconnects and sends once more (a second
// loss is logged too). 0, or -1 with an error set.
int send_with_resend(PyObject* self, PyObject* channel, PyObject* method, PyObject* args, Keywords& kwds) {
  if (client::channel.flush(channel) && request(self, method, args, kwds)) return 0;
  if (!lost_connection()) return -1;
  pyrt::SavedError lost;
  Handling handling(lost.value());
  if (!log_exception(self, names.t_send, lost.value(), nullptr) || !open_connection(self)) return -1;
  if (request(self, method, args, kwds)) return 0;
  if (!lost_connection()) return -1;
  pyrt::SavedError again;
  Handling handling_again(again.value());
  return log_exception(self, names.t_resend, again.value(), nullptr) ? 0 : -1;
}

// Exactly one receive, on whatever channel the client has now: the response,
// or the error of a failed receive as a value.
// A response in the compact encoding comes as its three parts. 0, or -1.
int receive(PyObject* self, pyrt::Received<3>& response) {
  Ref channel = pyrt::getattr(self, names._connection, site_connection);
  if (!channel) return -1;
  if (client::channel.recv_tuple(channel.get(), response, 0) == 0) return 0;
  if (!failed_receive()) return -1;
  pyrt::SavedError failed;
  response.message = failed.take_value();
  response.split = false;
  return 0;
}

// self._parse(response)
Ref parse(PyObject* self, pyrt::Received<3>& response) {
  pyrt::Method parse = pyrt::method(self, names._parse, site_parse);
  if (!parse) return Ref();
  return parse_response(parse, response);
}

// For the pending error of a response that does not answer this request:
// the logger's value for Exception("Failure" + iformat(call) + " " + str(error)).
Ref reject(Func& f, PyObject* self, PyObject* method, PyObject* args, Keywords& keywords) {
  pyrt::SavedError rejected;
  // The logger sees the rejection as the exception being handled, not whatever
  // the caller happens to be handling around the call.
  Handling handling(rejected.value());
  Ref describe = pyrt::global(f, names.iformat);
  if (!describe) return describe;
  PyObject* kwds = keywords.get();
  if (!kwds) return Ref();
  Ref call_text = pyrt::call(describe.get(), method, args, kwds);
  if (!call_text) return call_text;
  call_text = pyrt::text(call_text.get());
  if (!call_text) return call_text;
  Ref reason = pyrt::text(rejected.value());
  if (!reason) return reason;
  PyObject* pieces[] = {names.t_failure, call_text.get(), names.blank, reason.get()};
  Ref line = pyrt::concat(pieces);
  if (!line) return line;
  Ref err = pyrt::call(PyExc_Exception, line.get());
  if (!err) return err;
  Ref log = pyrt::getattr(self, names.log);
  if (!log) return log;
  return pyrt::call_method(log.get(), names.error, err.get());
}

Ref m_call(Func& f, PyObject* const* a) {
  PyObject* self = a[0];
  PyObject* method = a[1];
  PyObject* args = a[2];
  Keywords kwds(a[3]);  // null from a _RemoteMethod called without keywords
  Ref channel = ensure_channel(self);
  if (!channel) return channel;
  const int usable = truth(channel.get());
  if (usable < 0) return Ref();
  if (!usable) return pyrt::none();
  if (send_with_resend(self, channel.get(), method, args, kwds) < 0) return Ref();
  channel.reset();

  pyrt::Received<3> response;
  if (receive(self, response) < 0) return Ref();
  PyObject* whole = response.message.get();  // null when split: a tuple
  if (whole && PyExceptionInstance_Check(whole)) return log_exception(self, names.t_recv, whole, names.blank);
  Ref result = parse(self, response);
  if (result || !PyErr_ExceptionMatches(PyExc_Exception)) return result;
  return reject(f, self, method, args, kwds);
}

// "Connection failed (<exc>), please check: ..." with the client's host, port and alias.
Ref connect_failure_text(PyObject* self, PyObject* exc) {
  Ref shown = pyrt::text(exc);
  if (!shown) return shown;
  PyObject* const which[] = {names._host, names._port, names.alias};
  Ref values[3];
  for (int i = 0; i < 3; ++i) {
    Ref value = pyrt::getattr(self, which[i]);
    if (!value) return value;
    values[i] = pyrt::text(value.get());
    if (!values[i]) return Ref();
  }
  PyObject* pieces[] = {names.t_fail_head,  shown.get(),        names.t_fail_host, values[0].get(),
                        names.t_fail_port,  values[1].get(),    names.t_fail_alias, values[2].get(),
                        names.t_fail_tail};
  return pyrt::concat(pieces);
}

// Steps of opening: socket, time-out, connect, channel. Null with an error set on failure.
Ref open_channel(Func& f, PyObject* self) {
  Ref socket_module = pyrt::global(f, names.socket);
  if (!socket_module) return socket_module;
  Ref sock = pyrt::call_method(socket_module.get(), names.socket);
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
  if (pyrt::setattr(channel.get(), names.server_hostname, host.get()) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_TypeError)) return Ref();
    PyErr_Clear();
  }
  if (pyrt::setattr(self, names._connection, channel.get()) < 0) return Ref();
  return pyrt::none();
}

Ref m_open_connection(Func& f, PyObject* const* a) {
  PyObject* self = a[0];
  Ref host = pyrt::getattr(self, names._host);
  if (!host) return host;
  const int t = truth(host.get());
  if (t < 0) return Ref();
  if (!t) return pyrt::none();

  Ref opened = open_channel(f, self);
  if (opened || !failed_connect()) return opened;
  // The new socket was dropped with the failed attempt; the old channel stays.
  pyrt::SavedError failed;
  Handling handling(failed.value());
  Ref line = connect_failure_text(self, failed.value());
  if (!line) return line;
  Ref log = pyrt::getattr(self, names.log);
  if (!log) return log;
  return pyrt::call_method(log.get(), names.critical, line.get());
}

// The REQUEST tag read from the module, as long as the module is unchanged.
pyrt::GlobalSite request_tag;

Ref m_request(Func& f, PyObject* const* a) { return send_request(f, a[0], a[1], a[2], a[3]); }

// The body of _request; kwds may be null for no keywords (no dict made).
Ref send_request(Func& f, PyObject* self, PyObject* method, PyObject* args, PyObject* kwds) {
  Ref id = pyrt::getattr(self, names._msgid, site_msgid);
  if (!id) return id;
  id = Ref::steal(PyNumber_InPlaceAdd(id.get(), names.one));
  if (!id || pyrt::setattr(self, names._msgid, id.get(), store_msgid) < 0) return Ref();

  Ref tag = pyrt::global(f, names.REQUEST, request_tag);
  if (!tag) return tag;
  id = pyrt::getattr(self, names._msgid, site_msgid);
  if (!id) return id;
  PyObject* const message[] = {tag.get(), id.get(), method, args, kwds};

  Ref channel = pyrt::getattr(self, names._connection, site_connection);
  if (!channel) return channel;
  if (!client::channel.send_tuple(channel.get(), message, 5)) return Ref();
  return pyrt::none();
}

const Param p_init[] = {
    {"self"},
    {"host", "str", Check::Str},
    {"port", "int", Check::Int},
    {"timeout", "float", Check::Float},
};
const Param p_call[] = {
    {"self"},
    {"method", "str", Check::Str},
    {"args", nullptr, Check::None, {}, pyrt::Kind::VarArgs},
    {"kwds", nullptr, Check::None, {}, pyrt::Kind::VarKw},
};
const Param p_self[] = {{"self"}};
const Param p_request[] = {{"self"}, {"method", "str", Check::Str}, {"args"}, {"kwds"}};

const pyrt::FuncDef d_init{"__init__", "Client.__init__", p_init, m_init};
const pyrt::FuncDef d_call{"call", "Client.call", p_call, m_call, "Calling remote method\n        "};
const pyrt::FuncDef d_open_connection{"open_connection", "Client.open_connection", p_self, m_open_connection};
const pyrt::FuncDef d_request{"_request", "Client._request", p_request, m_request};

}  // namespace

Ref call_bound(PyObject* fn, PyObject* self, PyObject* method, PyObject* args, PyObject* kwds, bool* called) {
  *called = false;
  Func* own = pyrt::function_of(fn, d_call);
  if (!own || !PyUnicode_CheckExact(method)) return Ref();
  *called = true;
  PyObject* const slots[] = {self, method, args, kwds};
  return m_call(*own, slots);
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
