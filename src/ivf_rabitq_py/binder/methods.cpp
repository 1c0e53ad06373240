#include "ivf_rabitq_py/binder/methods.hpp"

#include <string>

namespace ivf_rabitq_py {

std::string docstring(const MethodDecl& d) {
  std::string s = d.name;
  s += d.sig;
  s += "\n--\n\n";
  s += d.doc;
  return s;
}

PyMethodDef* method_defs(std::span<const MethodDecl> decls) {
  // Intentionally never freed: method objects and the type keep pointers into the array and
  // its docstrings for the life of the process (the module has no free function).
  auto* defs = new PyMethodDef[decls.size() + 1]();
  for (size_t i = 0; i < decls.size(); ++i) {
    const MethodDecl& d = decls[i];
    auto* doc = new std::string(docstring(d));
    PyMethodDef& m = defs[i];
    m.ml_name = d.name;
    m.ml_doc = doc->c_str();
    switch (d.conv) {
      case Convention::NoArgs:
        m.ml_meth = d.noargs;
        m.ml_flags = METH_NOARGS;
        break;
      case Convention::Keyword:
      case Convention::StaticKeyword:
        m.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(d.fastcall));
        m.ml_flags = METH_FASTCALL | METH_KEYWORDS | (d.conv == Convention::StaticKeyword ? METH_STATIC : 0);
        break;
    }
  }
  return defs;
}

}  // namespace ivf_rabitq_py
