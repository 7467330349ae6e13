// lumo.server.ServerBase: the registry of the published object, its service
// functions, the shared records of the connections, and the parse of a request.
#include "server/module.hpp"

namespace server {
namespace {

constexpr long kTimeout = 86400;  // one day

// ------------------------------------------------------- service functions
//
// Attached to the published object by register(), bound to it with
// MethodType. What stats, client and getpid return is held in their closure.

Ref svc_closure(Func& f, PyObject* const*) { return Ref::borrow(f.closure); }

Ref svc_ping(Func&, PyObject* const* a) { return Ref::borrow(a[1]); }

Ref svc_terminate(Func& f, PyObject* const* a) {
  Ref terminate = pyrt::global(f, names.terminate);
  if (!terminate) return terminate;
  return pyrt::call(terminate.get(), a[1], a[2], a[3]);
}

const Param p_self[] = {{"self"}};
const Param p_ping[] = {{"self"}, {"msg"}};
const Param p_terminate_svc[] = {
    {"self"},
    {"wait", nullptr, Check::None, pyrt::dint(3)},
    {"itself", nullptr, Check::None, pyrt::dbool(true)},
    {"kill", nullptr, Check::None, pyrt::dbool(true)},
};

const pyrt::FuncDef d_stats{"stats", "ServerBase.register.<locals>.stats", p_self, svc_closure};
const pyrt::FuncDef d_client{"client", "ServerBase.register.<locals>.client", p_self, svc_closure};
const pyrt::FuncDef d_ping{"ping", "ServerBase.register.<locals>.ping", p_ping, svc_ping};
const pyrt::FuncDef d_getpid{"getpid", "ServerBase.register.<locals>.getpid", p_self, svc_closure};
const pyrt::FuncDef d_terminate{"terminate", "ServerBase.register.<locals>.terminate", p_terminate_svc,
                                svc_terminate};

// obj.<name> = MethodType(<function of def holding closure>, obj)
int attach(Func& f, PyObject* obj, PyObject* name, const pyrt::FuncDef& def, PyObject* closure) {
  Ref fn = pyrt::make_function_in(def, f, closure);
  if (!fn) return -1;
  Ref method_type = pyrt::global(f, names.MethodType);
  if (!method_type) return -1;
  Ref bound = pyrt::call(method_type.get(), fn.get(), obj);
  if (!bound) return -1;
  return pyrt::setattr(obj, name, bound.get());
}

// ------------------------------------------------------------- methods

// __init__(self, obj: Any, alias: str = "")
Ref m_init(Func&, PyObject* const* a) {
  PyObject* self = a[0];
  if (pyrt::setattr(self, names._alias, a[2]) < 0) return Ref();
  Ref registry = Ref::steal(PyDict_New());
  if (!registry || pyrt::setattr(self, names._server, registry.get()) < 0) return Ref();
  Ref timeout = Ref::steal(PyLong_FromLong(kTimeout));
  if (!timeout || pyrt::setattr(self, names._timeout, timeout.get()) < 0) return Ref();
  Ref statistics = Ref::steal(PyDict_New());
  if (!statistics || pyrt::setattr(self, names.statistics, statistics.get()) < 0) return Ref();
  Ref client = Ref::steal(PyDict_New());
  if (!client || PyDict_SetItem(client.get(), names.host, names.empty) < 0 ||
      PyDict_SetItem(client.get(), names.port, names.zero) < 0 || pyrt::setattr(self, names.client, client.get()) < 0)
    return Ref();
  Ref r = pyrt::call_method(self, names.register_, a[1]);
  if (!r) return r;
  return pyrt::none();
}

// register(self, obj)
Ref m_register(Func& f, PyObject* const* a) {
  PyObject* self = a[0];
  PyObject* obj = a[1];
  Ref alias = pyrt::getattr(self, names._alias);
  if (!alias) return alias;
  Ref registry = pyrt::getattr(self, names._server);
  if (!registry) return registry;
  int known = PySequence_Contains(registry.get(), alias.get());
  if (known < 0) return Ref();
  if (known) {
    Ref alias_text = pyrt::text(alias.get());
    if (!alias_text) return alias_text;
    PyObject* pieces[] = {alias_text.get(), names.t_registered};
    return raise_error(PyExc_Exception, pyrt::concat(pieces));
  }
  if (PyObject_SetItem(registry.get(), alias.get(), obj) < 0) return Ref();

  Ref statistics = pyrt::getattr(self, names.statistics);
  if (!statistics || attach(f, obj, names.stats, d_stats, statistics.get()) < 0) return Ref();
  Ref client = pyrt::getattr(self, names.client);
  if (!client || attach(f, obj, names.client, d_client, client.get()) < 0) return Ref();
  if (attach(f, obj, names.ping, d_ping, nullptr) < 0) return Ref();

  Ref os = pyrt::global(f, names.os);
  if (!os) return os;
  Ref pid = pyrt::call_method(os.get(), names.getpid);
  if (!pid) return pid;
  os = pyrt::global(f, names.os);
  if (!os) return os;
  Ref ppid = pyrt::call_method(os.get(), names.getppid);
  if (!ppid) return ppid;
  Ref ids = Ref::steal(PyTuple_Pack(2, pid.get(), ppid.get()));
  if (!ids || attach(f, obj, names.getpid, d_getpid, ids.get()) < 0) return Ref();

  if (attach(f, obj, names.terminate, d_terminate, nullptr) < 0) return Ref();
  return pyrt::none();
}

// Raises Exception("Request[" + text of request + "]: Invalid Protocol").
void raise_invalid(PyObject* request) {
  Ref shown = pyrt::text(request);
  if (!shown) return;
  PyObject* pieces[] = {names.t_request_open, shown.get(), names.t_invalid_protocol};
  raise_error(PyExc_Exception, pyrt::concat(pieces));
}

// The REQUEST tag read from the module, as long as the module is unchanged.
pyrt::GlobalSite request_tag;

// Is `tag`, element 0 of a five-element request, unequal to REQUEST? 1, 0 or -1.
int wrong_tag(Func& f, PyObject* tag) {
  Ref expected = pyrt::global(f, names.REQUEST, request_tag);
  if (!expected) return -1;
  if (tag == expected.get() && PyLong_CheckExact(tag)) return 0;
  return not_equal(tag, expected.get());
}

// The read of every call, remembered for the class it last saw.
pyrt::AttrSite site_registry;

// The reads of published modules' functions: a few sites, picked by the name,
// so that calls of several functions in turn still find theirs remembered.
constexpr std::uintptr_t kMemberSites = 32;
pyrt::ModuleSite member_sites[kMemberSites];

// What the name resolves to; AttributeError is left set for the caller.
Ref resolve(PyObject* self, PyObject* pieces, Py_ssize_t npieces) {
  Ref registry = pyrt::getattr(self, names._server, site_registry);
  if (!registry) return registry;
  Ref alias = item(pieces, 0);
  if (!alias) return alias;
  Ref published;
  if (PyDict_CheckExact(registry.get())) {
    PyObject* v = PyDict_GetItemWithError(registry.get(), alias.get());
    if (!v && PyErr_Occurred()) return Ref();
    published = Ref::borrow(v ? v : Py_None);
  } else {
    published = pyrt::call_method(registry.get(), names.get, alias.get());
    if (!published) return published;
  }
  if (npieces == 1) return published;
  Ref member = item(pieces, 1);
  if (!member) return member;
  const auto slot = (reinterpret_cast<std::uintptr_t>(member.get()) >> 4) % kMemberSites;
  return pyrt::module_attr(published.get(), member.get(), member_sites[slot]);
}

// '"' + piece 0 + '" has no attribute "' + piece 1 + '"'
Ref no_attribute_text(PyObject* pieces) {
  Ref first = item(pieces, 0);
  if (!first) return first;
  Ref first_text = pyrt::text(first.get());
  if (!first_text) return first_text;
  Ref second = item(pieces, 1);
  if (!second) return second;
  Ref second_text = pyrt::text(second.get());
  if (!second_text) return second_text;
  PyObject* quote = names.t_quote;
  PyObject* parts[] = {quote, first_text.get(), names.t_no_attribute, second_text.get(), quote};
  return pyrt::concat(parts);
}

// The pieces of a function name split at its dots, as a tuple. A server sees
// the same few names over and over: their pieces are kept (strings are
// immutable): names of up to 256 characters, up to 1024 of them, after which
// the table starts over.
constexpr Py_ssize_t kSplitCacheMax = 1024;
constexpr Py_ssize_t kSplitNameMax = 256;
PyObject* split_cache;

Ref split_name(PyObject* fname) {
  if (!split_cache && !(split_cache = PyDict_New())) return Ref();
  PyObject* known = PyDict_GetItemWithError(split_cache, fname);
  if (known) return Ref::borrow(known);
  if (PyErr_Occurred()) return Ref();
  Ref list = Ref::steal(PyUnicode_Split(fname, names.dot, -1));
  if (!list) return list;
  Ref pieces = Ref::steal(PyList_AsTuple(list.get()));
  if (!pieces) return pieces;
  if (PyUnicode_GET_LENGTH(fname) > kSplitNameMax) return pieces;
  if (PyDict_GET_SIZE(split_cache) >= kSplitCacheMax) PyDict_Clear(split_cache);
  if (PyDict_SetItem(split_cache, fname, pieces.get()) < 0) return Ref();
  return pieces;
}

// The five items of a request, checked for their number and tag: into `parts`
// for a whole request. 0, or -1 with an error set.
int request_items(Func& f, Request& r, Ref (&parts)[5], Ref*& items) {
  items = r.parts;
  if (!r.split) {
    PyObject* request = r.message.get();
    const Py_ssize_t length = PyObject_Length(request);
    if (length < 0) return -1;
    if (length != 5) {
      raise_invalid(request);
      return -1;
    }
    items = parts;
    if (!(parts[0] = item(request, 0))) return -1;
  }
  const int wrong = wrong_tag(f, items[0].get());
  if (wrong) {
    if (wrong > 0 && r.whole()) raise_invalid(r.whole());
    return -1;
  }
  return r.split ? 0 : unpack(r.message.get(), 5, parts);
}

// The parse of a request into (msgid, function, args, kwds): 0, or -1 with an error set.
int parse_parts(Func& f, PyObject* self, Request& request, Ref (&out)[4]) {
  Ref whole_parts[5];
  Ref* parts;
  if (request_items(f, request, whole_parts, parts) < 0) return -1;
  PyObject* fname = parts[2].get();
  Ref pieces = PyUnicode_CheckExact(fname) ? split_name(fname) : pyrt::call_method(fname, names.split, names.dot);
  if (!pieces) return -1;
  const Py_ssize_t npieces = PyObject_Length(pieces.get());
  if (npieces < 0) return -1;
  Ref function = resolve(self, pieces.get(), npieces);
  if (!function) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    pyrt::SavedError dropped;
    Handling handling(dropped.value());
    function = no_attribute_text(pieces.get());
    if (!function) return -1;
  }
  // Copies: a split request keeps its parts, in case it is made whole later.
  out[0] = parts[1].copy();
  out[1] = std::move(function);
  out[2] = parts[3].copy();
  out[3] = parts[4].copy();
  return 0;
}

// _parse(self, request: "tuple | list") -> (msgid, function, args, kwds)
Ref m_parse(Func& f, PyObject* const* a) {
  Request request;
  request.message = Ref::borrow(a[1]);
  Ref parts[4];
  if (parse_parts(f, a[0], request, parts) < 0) return Ref();
  return Ref::steal(PyTuple_Pack(4, parts[0].get(), parts[1].get(), parts[2].get(), parts[3].get()));
}

const Param p_init[] = {
    {"self"},
    {"obj", "Any"},
    {"alias", "str", Check::Str, pyrt::dstr("")},
};
const Param p_register[] = {{"self"}, {"obj"}};
const Param p_parse[] = {{"self"}, {"request", "tuple | list"}};

const pyrt::FuncDef d_init{"__init__", "ServerBase.__init__", p_init, m_init};
const pyrt::FuncDef d_register{"register", "ServerBase.register", p_register, m_register};
const pyrt::FuncDef d_parse{"_parse", "ServerBase._parse", p_parse, m_parse};

}  // namespace

int parse_request(const pyrt::Method& parse, Request& request, Ref (&parts)[4]) {
  if (Func* own = pyrt::own_method(parse, d_parse)) return parse_parts(*own, parse.self, request, parts);
  PyObject* whole = request.whole();
  if (!whole) return -1;
  Ref parsed = parse(whole);
  if (!parsed) return -1;
  return unpack(parsed.get(), 4, parts);
}

Ref make_server_base(PyObject* module) {
  Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  if (!bases) return bases;
  const pyrt::Member members[] = {
      {"__init__", &d_init},
      {"register", &d_register},
      {"_parse", &d_parse},
  };
  return pyrt::make_class(module, "ServerBase", bases.get(), members);
}

}  // namespace server
