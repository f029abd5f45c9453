// Type creation for the library's classes.
#include "binding/py_class.hpp"

#include <string>
#include <vector>

namespace pelmora::bind {

Ref create_type(const ClassSpec& spec, Py_ssize_t basicsize, destructor dealloc, const BufferHooks& buffer,
                const CollectorHooks& collector, reprfunc repr) {
  // Instances have no __dict__ and no weakref slot; classes are immutable so
  // that no thread can change them under another.
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
  if (spec.tp_new) slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.tp_new)});
  if (spec.getset) slots.push_back({Py_tp_getset, spec.getset});
  if (spec.methods) slots.push_back({Py_tp_methods, spec.methods});
  if (buffer.get) slots.push_back({Py_bf_getbuffer, reinterpret_cast<void*>(buffer.get)});
  if (buffer.release) slots.push_back({Py_bf_releasebuffer, reinterpret_cast<void*>(buffer.release)});
  if (repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(repr)});
  if (collector.traverse) slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(collector.traverse)});
  if (collector.clear) slots.push_back({Py_tp_clear, reinterpret_cast<void*>(collector.clear)});
  slots.push_back({0, nullptr});

  unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if (spec.subclassable) flags |= Py_TPFLAGS_BASETYPE;
  if (collector.traverse) flags |= Py_TPFLAGS_HAVE_GC;
  if (!spec.tp_new) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;

  const std::string qualified = std::string("builtins.") + spec.name;
  PyType_Spec type_spec{qualified.c_str(), static_cast<int>(basicsize), 0, flags, slots.data()};
  return require(PyType_FromSpec(&type_spec));
}

}  // namespace pelmora::bind
