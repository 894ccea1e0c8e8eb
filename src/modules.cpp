// The two native modules, quarnel and quarnel_cluster._native, built on this
// library (the core and the call boundary): a process that imports both has
// one copy of it, so one thread pool, one NumPy table and one
// PanicException.
#include <vector>

#include "boundary.hpp"
#include "functions.hpp"
#include "modules.hpp"

namespace quarnel::py {
namespace {

Module quarnel_module{
    {PyModuleDef_HEAD_INIT, "quarnel", "Quarnel \xe2\x80\x94 native accelerated core.", 0, nullptr,
     nullptr, nullptr, nullptr, nullptr},
    {},
    false,
};

Module native_module{
    {PyModuleDef_HEAD_INIT, "quarnel_cluster._native", "Native helpers of the quarnel_cluster driver.",
     0, nullptr, nullptr, nullptr, nullptr, nullptr},
    {},
    true,
};

}  // namespace

PyObject* init_quarnel() noexcept {
    return guarded([] {
        static const std::vector<PyMethodDef> table = [] {
            std::vector<PyMethodDef> t;
            for (auto part : {knn_functions(), kde_functions(), cluster_functions()})
                t.insert(t.end(), part.begin(), part.end());
            return t;
        }();
        quarnel_module.functions = table;
        return module_of(quarnel_module);
    });
}

PyObject* init_native() noexcept {
    return guarded([] {
        native_module.functions = driver_functions();
        return module_of(native_module);
    });
}

}  // namespace quarnel::py
