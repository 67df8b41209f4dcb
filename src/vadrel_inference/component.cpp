#include "pyhost/frame.hpp"
#include "vadrel_inference/modules.hpp"

namespace vadrel_inference {

void init_component(nb::module_ m) {
    pyhost::ClassBuilder(m, "DMComponent", "A component that decides through a decision-model invoker.")
        .base(pyhost::import_from("vadrel_core.schema", "Component"))
        .method(
            "__init__",
            // Subclasses take the engine configuration themselves; the base only keeps the invoker.
            [](nb::handle self, nb::handle dm_invoker, nb::handle) { nb::setattr(self, "dm_invoker", dm_invoker); },
            nb::arg("dm_invoker"), nb::arg("engine_config").none() = nb::none())
        .classmethod(
            "from_config",
            [](nb::handle cls, nb::handle model_id, nb::handle engine_config, nb::handle credentials,
               nb::handle config) {
                nb::object invoker = pyhost::import_from("vadrel_inference.builder", "build_dm_invoker")(
                    nb::arg("model_id") = model_id, nb::arg("credentials") = credentials,
                    nb::arg("config") = config);
                return cls(nb::arg("dm_invoker") = invoker, nb::arg("engine_config") = engine_config);
            },
            nb::arg("model_id"), nb::arg("engine_config").none() = nb::none(),
            nb::arg("credentials").none() = nb::none(), nb::arg("config").none() = nb::none(),
            "Build the decision-model invoker for `model_id` and the component around it.")
        .build();
    pyhost::set_all(m, {"DMComponent"});
}

}  // namespace vadrel_inference
