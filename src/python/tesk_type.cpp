#include "python/tesk_type.hpp"

#include <array>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/results.hpp"
#include "model/config.hpp"
#include "common/interruption.hpp"
#include "model/fit.hpp"
#include "model/listing.hpp"
#include "model/queries.hpp"

namespace tesk {

// fit swaps the new state in after every step that can fail; the swap itself must not.
static_assert(std::is_nothrow_move_assignable_v<FittedModel> &&
              std::is_nothrow_move_constructible_v<FittedModel>);

namespace {

using py::PyRef;

constexpr const char* kClassDoc =
    "Variable-length Markov-chain estimator with interchangeable tree selectors.";

constexpr std::array<const char*, 6> kConstructorParameters = {
    "alphabet_size", "max_depth", "method", "beta", "penalty", "boundary"};
constexpr py::Signature kConstructorSignature = {"TESK", kConstructorParameters, 1};

constexpr std::array<const char*, 1> kDataParameter = {"data"};
constexpr std::array<const char*, 1> kSequenceParameter = {"sequence"};
constexpr std::array<const char*, 1> kHistoryParameter = {"history"};
constexpr py::Signature kFitSignature = {"TESK.fit", kDataParameter, 1};
constexpr py::Signature kSuffixSignature = {"TESK.get_suffix", kSequenceParameter, 1};
constexpr py::Signature kCountsSignature = {"TESK.get_counts", kSequenceParameter, 1};
constexpr py::Signature kTransitionCountsSignature = {"TESK.get_transition_counts",
                                                     kSequenceParameter, 1};
constexpr py::Signature kDistributionSignature = {"TESK.get_distribution", kSequenceParameter, 1};
constexpr py::Signature kPredictSignature = {"TESK.predict_proba", kHistoryParameter, 1};

// The receiver of every method and property; the type exists, since an instance does.
TeskObject& receiver(PyObject* self) {
  PyTypeObject* type = tesk_type();
  if (type == nullptr) {
    py::throw_python_error();
  }
  py::check_receiver(self, type);
  return *reinterpret_cast<TeskObject*>(self);
}

const FittedModel* fitted_state(const TeskObject& model) noexcept {
  return model.fitted ? &*model.fitted : nullptr;
}

// --- construction and destruction -----------------------------------------------------------

PyObject* tesk_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
  return py::guarded([&] {
    std::array<PyRef, kConstructorParameters.size()> bound;
    py::bind_tuple_dict(kConstructorSignature, args, kwargs, bound);

    // Converted one by one in parameter order, all before any validation.
    ConstructorArgs converted;
    converted.alphabet_size =
        py::convert_argument("alphabet_size", [&] { return py::extract_u64(bound[0].get()); });
    if (bound[1]) {
      converted.max_depth =
          py::convert_argument("max_depth", [&] { return py::extract_u64(bound[1].get()); });
    }
    if (bound[2]) {
      converted.method =
          py::convert_argument("method", [&] { return py::extract_text(bound[2].get()); });
    }
    if (bound[3] && bound[3].get() != Py_None) {
      converted.beta =
          py::convert_argument("beta", [&] { return py::extract_f64(bound[3].get()); });
    }
    if (bound[4] && bound[4].get() != Py_None) {
      converted.penalty =
          py::convert_argument("penalty", [&] { return py::extract_f64(bound[4].get()); });
    }
    if (bound[5]) {
      converted.boundary =
          py::convert_argument("boundary", [&] { return py::extract_text(bound[5].get()); });
    }

    Result<ModelConfig> config = validate_config(converted);
    if (!config) {
      py::raise_error(config.error());
    }

    auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
    ensure(allocate != nullptr, "TESK type without an allocation slot");
    PyRef self = PyRef::steal(allocate(cls, 0));
    if (!self) {
      py::throw_python_error();
    }
    // Nothing below can fail, so the object is never deallocated half-built.
    auto* model = reinterpret_cast<TeskObject*>(self.get());
    model->borrow_flag = 0;
    new (&model->config) ModelConfig(*config);
    new (&model->fitted) std::optional<FittedModel>();
    return self;
  });
}

void tesk_dealloc(PyObject* self) {
  // Instances of a heap type hold a reference to it, dropped only after the memory is freed.
  PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  auto* model = reinterpret_cast<TeskObject*>(self);
  model->fitted.~optional();
  model->config.~ModelConfig();
  auto release = reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_free));
  release(self);
}

// --- methods -----------------------------------------------------------------------------------

PyObject* tesk_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    TeskObject& model = receiver(self);
    py::ExclusiveBorrow borrow(model.borrow_flag);
    std::array<PyRef, 1> bound;
    py::bind_fastcall(kFitSignature, args, nargs, kwnames, bound);
    // The memory of rows read in place stays where it is until the fit is done.
    py::HeldExports held;
    Result<FittedModel> fitted = [&] {
      // Conversion and fit alike stop on a signal whose handler raises.
      const InterruptScope signals(py::signals_pending, nullptr);
      PackedRows rows = py::convert_argument("data", [&] {
        return py::extract_packed_rows(bound[0].get(), model.config.alphabet_size, held);
      });
      return fit_model(model.config, std::move(rows));
    }();
    if (!fitted) {
      py::raise_error(fitted.error());
    }
    PyRef result = py::none();
    model.fitted = std::move(fitted).value();  // a move: the old state goes, nothing can fail
    return result;
  });
}

// The common path of the five queries: receiver, shared borrow, binding and the argument's
// conversion; `answer` turns the converted symbols into the result object.
template <const py::Signature& QuerySignature, class Answer>
PyObject* run_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    Answer answer) {
  return py::guarded([&] {
    TeskObject& model = receiver(self);
    py::SharedBorrow borrow(model.borrow_flag);
    std::array<PyRef, 1> bound;
    py::bind_fastcall(QuerySignature, args, nargs, kwnames, bound);
    py::SymbolArgument sequence;
    py::convert_argument(QuerySignature.parameters[0],
                         [&] { py::extract_symbol_sequence(bound[0].get(), sequence); });
    return answer(model, sequence.symbols());
  });
}

template <class Value>
using QueryFunction = Result<Value> (*)(const ModelConfig&, const FittedModel*,
                                        std::span<const std::uint64_t>);

template <class Value, QueryFunction<Value> Query, const py::Signature& QuerySignature>
PyObject* tesk_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_query<QuerySignature>(
      self, args, nargs, kwnames,
      [](const TeskObject& model, std::span<const std::uint64_t> sequence) {
        Result<Value> answer = Query(model.config, fitted_state(model), sequence);
        if (!answer) {
          py::raise_error(answer.error());
        }
        return py::to_python(*answer);
      });
}

PyObject* tesk_get_suffix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return run_query<kSuffixSignature>(
      self, args, nargs, kwnames,
      [](const TeskObject& model, std::span<const std::uint64_t> sequence) {
        const FittedModel* fitted = fitted_state(model);
        Result<NodeId> node = select_context(model.config, fitted, sequence);
        if (!node) {
          py::raise_error(node.error());
        }
        return py::to_python(fitted->trie.context_symbols(*node));
      });
}

PyObject* tesk_get_contexts(PyObject* self, PyObject* /*unused*/) {
  return py::guarded([&] {
    TeskObject& model = receiver(self);
    py::SharedBorrow borrow(model.borrow_flag);
    Result<std::vector<Context>> contexts = collect_contexts(fitted_state(model));
    if (!contexts) {
      py::raise_error(contexts.error());
    }
    return py::to_python(*contexts);
  });
}

template <class Function>
PyCFunction as_method(Function function) {
  // The method table stores every calling convention under one pointer type; the flags tell
  // CPython which one to call. The detour through void(*)() keeps the cast explicit.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kFastcallFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"fit", as_method(tesk_fit), kFastcallFlags,
     "fit($self, data)\n--\n\n"
     "Fit a fresh model. Rows are independent sequences and are never joined."},
    {"get_suffix", as_method(tesk_get_suffix), kFastcallFlags,
     "get_suffix($self, sequence)\n--\n\n"
     "Return the selected context suffix, or an aggregate prefix when the\n"
     "supplied history is shorter than the selected context."},
    {"get_counts", as_method(tesk_query<std::uint64_t, query_counts, kCountsSignature>),
     kFastcallFlags,
     "get_counts($self, sequence)\n--\n\n"
     "Return the number of usable outcomes observed after an active tree node."},
    {"get_transition_counts",
     as_method(tesk_query<std::vector<std::uint64_t>, query_transition_counts,
                          kTransitionCountsSignature>),
     kFastcallFlags,
     "get_transition_counts($self, sequence)\n--\n\n"
     "Return unsmoothed next-symbol counts in alphabet order."},
    {"get_distribution",
     as_method(tesk_query<std::vector<double>, query_distribution, kDistributionSignature>),
     kFastcallFlags,
     "get_distribution($self, sequence)\n--\n\n"
     "Return Jeffreys-smoothed transition probabilities for an active node."},
    {"predict_proba",
     as_method(tesk_query<std::vector<double>, query_predict_proba, kPredictSignature>),
     kFastcallFlags,
     "predict_proba($self, history)\n--\n\n"
     "Select a context from `history` and return its transition probabilities."},
    {"get_contexts", as_method(tesk_get_contexts), METH_NOARGS,
     "get_contexts($self)\n--\n\n"
     "Return terminal contexts only, ordered first by length and then lexically."},
    {nullptr, nullptr, 0, nullptr},
};

// --- properties -------------------------------------------------------------------------------

enum class Property {
  method,
  boundary,
  sample_size,
  alphabet_size,
  max_depth,
  effective_max_depth,
  node_count,
  context_count,
};

PyRef fitted_property(Property property, const FittedModel& fitted) {
  switch (property) {
    case Property::sample_size:
      return py::to_python(fitted.trie.sample_size());
    case Property::effective_max_depth:
      return py::to_python(fitted.trie.storage_depth());
    case Property::node_count:
      return py::to_python(fitted.trie.node_count());
    case Property::context_count: {
      std::uint64_t contexts = 0;
      for (const std::uint8_t flag : fitted.terminal) {
        contexts += flag;
      }
      return py::to_python(contexts);
    }
    default:
      fail_internal("not a fitted-state property");
  }
}

template <Property P>
PyObject* tesk_get_property(PyObject* self, void* /*closure*/) {
  return py::guarded([&] {
    TeskObject& model = receiver(self);
    py::SharedBorrow borrow(model.borrow_flag);
    switch (P) {
      case Property::method:
        return py::to_python(std::string_view(method_name(model.config.method)));
      case Property::boundary:
        return py::to_python(std::string_view(boundary_name(model.config.boundary)));
      case Property::alphabet_size:
        return py::to_python(model.config.alphabet_size);
      case Property::max_depth:
        return py::to_python(model.config.max_depth);
      default:
        break;
    }
    if (Status fitted = check_fitted(fitted_state(model)); !fitted) {
      py::raise_error(fitted.error());
    }
    return fitted_property(P, *model.fitted);
  });
}

template <Property P>
constexpr PyGetSetDef property(const char* name) {
  return {name, tesk_get_property<P>, nullptr, "", nullptr};
}

PyGetSetDef kProperties[] = {
    property<Property::method>("method"),
    property<Property::boundary>("boundary"),
    property<Property::sample_size>("sample_size"),
    property<Property::alphabet_size>("alphabet_size"),
    property<Property::max_depth>("max_depth"),
    property<Property::effective_max_depth>("effective_max_depth"),
    property<Property::node_count>("node_count"),
    property<Property::context_count>("context_count"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- the type ----------------------------------------------------------------------------------

PyType_Slot kSlots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(tesk_dealloc)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(tesk_new)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

// Default flags only: no subclassing, no garbage-collector tracking, no instance dict and no
// weak references.
PyType_Spec kSpec = {
    "TESK",
    static_cast<int>(sizeof(TeskObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

// CPython warns when a type is created under a name without a module prefix. The name stays
// "TESK", so the warning is silenced for the creation and __module__ is set by hand afterwards.
PyRef create_type() {
  PyRef warnings = PyRef::steal(PyImport_ImportModule("warnings"));
  if (!warnings) {
    py::throw_python_error();
  }
  PyRef catcher = PyRef::steal(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
  if (!catcher) {
    py::throw_python_error();
  }
  PyRef entered = PyRef::steal(PyObject_CallMethod(catcher.get(), "__enter__", nullptr));
  if (!entered) {
    py::throw_python_error();
  }
  PyRef filtered = PyRef::steal(PyObject_CallMethod(warnings.get(), "simplefilter", "sO",
                                                    "ignore", PyExc_DeprecationWarning));
  PyRef type;
  if (filtered) {
    type = PyRef::steal(PyType_FromSpec(&kSpec));
  }
  // Leave the warnings context on every path, keeping whatever error is pending.
  PyObject* error_type = nullptr;
  PyObject* error_value = nullptr;
  PyObject* error_traceback = nullptr;
  PyErr_Fetch(&error_type, &error_value, &error_traceback);
  PyRef exited = PyRef::steal(
      PyObject_CallMethod(catcher.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
  if (error_type != nullptr) {
    PyErr_Restore(error_type, error_value, error_traceback);
    py::throw_python_error();
  }
  if (!exited || !type) {
    py::throw_python_error();
  }
  PyRef module_name = PyRef::steal(PyUnicode_FromString("tesk"));
  if (!module_name || PyObject_SetAttrString(type.get(), "__module__", module_name.get()) < 0) {
    py::throw_python_error();
  }
  return type;
}

}  // namespace

PyTypeObject* tesk_type() noexcept {
  // Created once per process under the interpreter lock, then shared by every type check.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = py::guarded([] { return create_type(); });
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace tesk
