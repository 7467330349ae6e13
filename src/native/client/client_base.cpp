// lumo.client.ClientBase: what every client carries (server address, time-out,
// message id, channel), the proxies it makes, the check of a response and close.
#include "client/client.hpp"

namespace client {
namespace {

Ref m_init(Func& f, PyObject* const* a) {
  PyObject* self = a[0];
  Ref init = pyrt::super_attr(f, self, names.dunder_init);
  if (!init) return init;
  Ref r = pyrt::call(init.get());
  if (!r) return r;
  if (pyrt::setattr(self, names._host, a[1]) < 0 || pyrt::setattr(self, names._port, a[2]) < 0 ||
      pyrt::setattr(self, names._timeout, a[3]) < 0 || pyrt::setattr(self, names._msgid, names.zero) < 0 ||
      pyrt::setattr(self, names._connection, Py_None) < 0)
    return Ref();
  return pyrt::none();
}

Ref m_call(Func& f, PyObject* const* a) {
  PyObject* self = a[0];
  PyObject* name = a[1];
  PyObject* types = a[2];
  if (pyrt::setattr(self, names.alias, name) < 0) return Ref();
  const bool as_class = PyUnicode_CompareWithASCIIString(types, "class") == 0;
  Ref proxy = pyrt::global(f, as_class ? names._RemoteClass : names._RemoteMethod);
  if (!proxy) return proxy;
  return pyrt::call(proxy.get(), self, name);
}

// Raises Exception("Response[<response>]<suffix>").
Ref reject(PyObject* response, const char* suffix) {
  Ref shown = pyrt::text(response);
  if (!shown) return shown;
  Ref tail = Ref::steal(PyUnicode_FromString(suffix));
  if (!tail) return tail;
  PyObject* pieces[] = {names.t_response_open, shown.get(), tail.get()};
  return raise_error(PyExc_Exception, pyrt::concat(pieces));
}

// The RESPONSE tag read from the module, as long as the module is unchanged.
pyrt::GlobalSite response_tag;

// The read of every call, remembered for the class it last saw.
pyrt::AttrSite site_msgid;

// Is a response's tag unequal to RESPONSE? 1, 0 or -1.
int tag_differs(Func& f, PyObject* tag) {
  Ref expected = pyrt::global(f, names.RESPONSE, response_tag);
  if (!expected) return -1;
  return not_equal(tag, expected.get());
}

// Is a response's message id unequal to the client's current one? 1, 0 or -1.
int msgid_differs(PyObject* self, PyObject* msgid) {
  Ref current = pyrt::getattr(self, names._msgid, site_msgid);
  if (!current) return -1;
  return not_equal(msgid, current.get());
}

Ref m_parse(Func& f, PyObject* const* a) {
  PyObject* self = a[0];
  PyObject* response = a[1];
  // A tuple is read in place. Anything else (a list, which comparing its items
  // may change, or a subclass with its own __len__ or __getitem__) is read as
  // the interpreter reads it.
  const bool tuple = PyTuple_CheckExact(response);
  if (!tuple && !PyTuple_Check(response) && !PyList_Check(response))
    return reject(response, "]: Invalid Type (tuple or list needed)");

  Py_ssize_t size = tuple ? PyTuple_GET_SIZE(response) : PyObject_Size(response);
  if (size < 0) return Ref();
  if (size != 3) return reject(response, "]: Invalid Protocol");
  Ref tag = tuple ? Ref::borrow(PyTuple_GET_ITEM(response, 0)) : Ref::steal(PySequence_GetItem(response, 0));
  if (!tag) return tag;
  int differs = tag_differs(f, tag.get());
  if (differs) return differs < 0 ? Ref() : reject(response, "]: Invalid Protocol");

  // `_, msgid, result = response`: a list, or a subclass, through iteration.
  Ref items[3];
  if (unpack(response, 3, items) < 0) return Ref();
  differs = msgid_differs(self, items[1].get());
  if (differs) return differs < 0 ? Ref() : reject(response, "]: Invalid Message ID");
  return std::move(items[2]);
}

// The same for a response received as its three parts.
Ref parse_parts(Func& f, PyObject* self, pyrt::Received<3>& response) {
  int differs = tag_differs(f, response.parts[0].get());
  if (differs) return differs < 0 || !response.whole() ? Ref() : reject(response.whole(), "]: Invalid Protocol");
  differs = msgid_differs(self, response.parts[1].get());
  if (differs) return differs < 0 || !response.whole() ? Ref() : reject(response.whole(), "]: Invalid Message ID");
  return response.parts[2].copy();
}

// self.log.critical("Connection to (" + str(self._host) + ", " + str(self._port) + ") closed!")
Ref log_closed(PyObject* self) {
  Ref log = pyrt::getattr(self, names.log);
  if (!log) return log;
  pyrt::Method critical = pyrt::method(log.get(), names.critical);
  if (!critical) return Ref();
  Ref host = pyrt::getattr(self, names._host);
  if (!host) return host;
  host = pyrt::text(host.get());
  if (!host) return host;
  Ref port = pyrt::getattr(self, names._port);
  if (!port) return port;
  port = pyrt::text(port.get());
  if (!port) return port;
  PyObject* pieces[] = {names.t_closed_head, host.get(), names.t_comma, port.get(), names.t_closed_tail};
  Ref line = pyrt::concat(pieces);
  if (!line) return line;
  return critical(line.get());
}

// self._connection.close(), where a missing attribute is no error; any
// other error is left set.
void close_channel(PyObject* self) {
  Ref channel = pyrt::getattr(self, names._connection);
  if (channel && pyrt::call_method(channel.get(), names.close)) return;
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
}

Ref m_close(Func&, PyObject* const* a) {
  PyObject* self = a[0];
  close_channel(self);
  // The closing line is written in every case, also with an error on its way
  // out (a finally block): an error of the line replaces the pending one,
  // which becomes its context.
  pyrt::SavedError pending;
  if (!pending.type()) return log_closed(self) ? pyrt::none() : Ref();
  {
    Handling handling(pending.value());
    if (!log_closed(self)) return Ref();
  }
  pending.restore();
  return Ref();
}

const Param p_init[] = {
    {"self"},
    {"host", "str", Check::Str},
    {"port", "int", Check::Int},
    {"timeout", "float", Check::Float, pyrt::dfloat(1000.0)},
};
const Param p_call[] = {
    {"self"},
    {"name", "str", Check::Str},
    {"types", "str", Check::Str, pyrt::dstr("class")},
};
const Param p_parse[] = {{"self"}, {"response", "tuple | list"}};
const Param p_close[] = {{"self"}};

// Indented as a method's docstring is in its source; inspect.getdoc() shows it flush.
const char parse_doc[] =
    "parse response\n"
    "\n"
    "        Args:\n"
    "            response (tuple | list): response from the server\n"
    "\n"
    "        Raises:\n"
    "            Exception: invalid response type\n"
    "            Exception: invalid response protocol\n"
    "            Exception: invalid msgid of response\n"
    "\n"
    "        Returns:\n"
    "            _type_: result from response\n"
    "        ";

const pyrt::FuncDef d_init{"__init__", "ClientBase.__init__", p_init, m_init};
const pyrt::FuncDef d_call{"__call__", "ClientBase.__call__", p_call, m_call};
const pyrt::FuncDef d_parse{"_parse", "ClientBase._parse", p_parse, m_parse, parse_doc};
const pyrt::FuncDef d_close{"close", "ClientBase.close", p_close, m_close};

}  // namespace

Ref parse_response(const pyrt::Method& parse, pyrt::Received<3>& response) {
  Func* own = response.split ? pyrt::own_method(parse, d_parse) : nullptr;
  if (own) return parse_parts(*own, parse.self, response);
  PyObject* whole = response.whole();
  return whole ? parse(whole) : Ref();
}

Ref make_client_base(PyObject* module) {
  Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  if (!bases) return bases;
  const pyrt::Member members[] = {
      {"__init__", &d_init},
      {"__call__", &d_call},
      {"_parse", &d_parse},
      {"close", &d_close},
  };
  return pyrt::make_class(module, "ClientBase", bases.get(), members);
}

}  // namespace client
