// The extension module: PyInit_tesk and the module's three attributes.

#include <atomic>

#include "python/errors.hpp"
#include "python/results.hpp"
#include "python/tesk_type.hpp"

namespace tesk {

namespace {

using py::PyRef;

constexpr const char* kVersion = TESK_VERSION;  // from pyproject.toml, by the build

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "tesk",
    "",
    0,  // no per-module state
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The type object and the internal-failure class are process-wide, so a second module object
// (a re-import after removal from sys.modules, a subinterpreter) is refused outright.
std::atomic<bool> g_initialised{false};

// Claims the one initialisation for the current attempt. An attempt that fails gives the claim
// back, so that importing again retries and reports its own cause.
class InitialisationClaim {
 public:
  InitialisationClaim() : claimed_(!g_initialised.exchange(true)) {}
  ~InitialisationClaim() {
    if (claimed_ && !kept_) {
      g_initialised = false;
    }
  }
  InitialisationClaim(const InitialisationClaim&) = delete;
  InitialisationClaim& operator=(const InitialisationClaim&) = delete;

  bool claimed() const noexcept { return claimed_; }
  void keep() noexcept { kept_ = true; }

 private:
  bool claimed_;
  bool kept_ = false;
};

// The module's __all__ list, created on first need.
PyRef all_list(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (all) {
    return all;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
    py::throw_python_error();
  }
  PyErr_Clear();
  all = PyRef::steal(PyList_New(0));
  if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
    py::throw_python_error();
  }
  return all;
}

void add_attribute(PyObject* module, const char* name, PyObject* value) {
  PyRef all = all_list(module);
  PyRef entry = py::to_python(std::string_view(name));
  if (PyList_Append(all.get(), entry.get()) < 0) {
    py::fail_object_creation();
  }
  if (PyObject_SetAttrString(module, name, value) < 0) {
    py::throw_python_error();
  }
}

}  // namespace

}  // namespace tesk

PyMODINIT_FUNC PyInit_tesk() {
  using tesk::py::PyRef;
  return tesk::py::guarded([] {
    PyRef module = PyRef::steal(PyModule_Create2(&tesk::kModuleDef, PYTHON_ABI_VERSION));
    if (!module) {
      tesk::py::throw_python_error();
    }
    tesk::InitialisationClaim claim;
    if (!claim.claimed()) {
      tesk::py::raise_message(PyExc_ImportError,
                              "tesk may be initialised only once per interpreter process");
    }
    PyTypeObject* type = tesk::tesk_type();
    if (type == nullptr) {
      tesk::py::throw_python_error();
    }
    tesk::add_attribute(module.get(), "TESK", reinterpret_cast<PyObject*>(type));
    PyRef version = tesk::py::to_python(std::string_view(tesk::kVersion));
    tesk::add_attribute(module.get(), "__version__", version.get());
    claim.keep();
    return module;
  });
}
