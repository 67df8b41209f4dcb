// The module `vadrel_guardrail.config.safety.content`: content-safety categories and the builder
// that turns them into the content-safety block of the safety prompt.
#include "pyhost/classes.hpp"
#include "pyhost/frame.hpp"
#include "vadrel_guardrail/config/safety/common.hpp"
#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {
namespace {

using namespace safety;

constexpr const char *kDefaultContentSafetyFile = "safety/default_yaml/content_safety.yaml";
constexpr const char *kContentSafetyTemplate =
    "<BEGIN SAFETY CODE>\n\n# Categories:\n{safety_category}\n\n# Examples:\n{safety_category_examples}\n\n"
    "<END SAFETY CODE>";

// Module globals (`load_yaml_config`, `ContentSafetyItem`) are read at call time, as Python
// code would read them, so that replacing one takes effect.
pyhost::Global this_module;
pyhost::Global base_builder;

nb::list default_items(nb::handle file_name) {
    nb::object document = this_module.attr("load_yaml_config")(file_name);
    return items_from(this_module.attr("ContentSafetyItem"), document);
}

void builder_init(nb::handle self, nb::handle enabled_categories, nb::handle safety_items) {
    nb::object items;
    if (safety_items.is_none()) {
        // The packaged list is used as it is, even empty.
        items = default_items(self.attr("DEFAULT_CONTENT_SAFETY_FILE"));
    } else {
        if (nb::len(safety_items) == 0) {
            pyhost::raise(PyExc_ValueError, "safety_items cannot be an empty list. Set to None to use defaults.");
        }
        items = nb::borrow(safety_items);
    }
    // A list of its own, so that the caller's later changes to theirs do not reach the builder.
    nb::list retained = filter_items(items, enabled_categories, "category", "enabled_categories");
    nb::setattr(self, "safety_items", retained);
    nb::setattr(self, "enabled_categories", field_values(retained, "category"));
    nb::object texts = base_builder.attr("_get_formatted_items")(retained, "S");
    nb::setattr(self, "_categories_string", texts[0]);
    nb::setattr(self, "_examples_string", texts[1]);
}

nb::object with_defaults(nb::handle cls, nb::kwargs kwargs) {
    nb::list defaults = default_items(cls.attr("DEFAULT_CONTENT_SAFETY_FILE"));
    nb::object given = kwargs.contains("safety_items") ? nb::object(kwargs["safety_items"]) : nb::none();
    if (truth(given)) {
        // A new list: the caller's own is left as it was.
        nb::object combined = pyhost::owned(PyNumber_Add(defaults.ptr(), given.ptr()));
        kwargs["safety_items"] = combined;
    } else {
        kwargs["safety_items"] = defaults;
    }
    return pyhost::owned(PyObject_Call(cls.ptr(), nb::tuple().ptr(), kwargs.ptr()));
}

nb::dict to_dict(nb::handle self) {
    nb::dict result;
    result["safety_items"] = dump_items(self.attr("safety_items"));
    return result;
}

nb::object get_string(nb::handle self) {
    nb::object categories = self.attr("_categories_string");
    if (!truth(categories)) {
        return nb::str("");
    }
    // One formatting pass: braces in the inserted texts are not read as fields.
    return self.attr("CONTENT_SAFETY_TEMPLATE")
        .attr("format")(nb::arg("safety_category") = categories,
                        nb::arg("safety_category_examples") = self.attr("_examples_string"));
}

}  // namespace

void init_safety_content(nb::module_ m) {
    this_module.set(m);
    nb::object base = bind_builder_imports(m);
    base_builder.set(base);

    nb::handle text = reinterpret_cast<PyObject *>(&PyUnicode_Type);
    nb::object list_of_text = nb::module_::import_("builtins").attr("list")[text];
    nb::object none = nb::none();

    pyhost::ClassBuilder::model(m, "ContentSafetyItem", "A content category to be checked for safety.")
        .field("category", text, "The name of the content category to be checked.")
        .field("description", pyhost::optional(text), none, "The description of the content category.")
        .field("examples", pyhost::optional(list_of_text), none, "Example texts that belong to the content category.")
        .property(
            "label", [](nb::handle self) { return self.attr("category"); },
            "The display name of the item: its category.")
        .build();
    nb::object items = nb::module_::import_("builtins").attr("list")[m.attr("ContentSafetyItem")];
    pyhost::keywords_type(m, "_ContentSafetyKeywords", {{"enabled_categories", list_of_text}, {"safety_items", items}});

    pyhost::ClassBuilder(m, "ContentSafetyConfigBuilder",
                         "Builds the content-safety block of the safety prompt from content categories.\n\n"
                         "Categories come from the packaged default file or from the caller, may be narrowed to "
                         "chosen names, and are coded S0, S1, ... in their retained order.")
        .base(base)
        .attr("DEFAULT_CONTENT_SAFETY_FILE", nb::str(kDefaultContentSafetyFile))
        .attr("CONTENT_SAFETY_TEMPLATE", nb::str(kContentSafetyTemplate))
        .method("__init__", &builder_init, nb::arg("enabled_categories").none(),
                nb::arg("safety_items").none(),
                "Resolve the items (the packaged defaults when `safety_items` is None), keep those whose category "
                "is in `enabled_categories` (all when it is None) and format their texts.")
        .classmethod("with_defaults", &with_defaults, nb::arg("kwargs"),
                     "A builder over the packaged default items followed by the caller's `safety_items`; other "
                     "keywords pass to the constructor.")
        .method("to_dict", &to_dict, "The retained items as {\"safety_items\": [item fields, ...]}.")
        .method("get_string", &get_string,
                "The content-safety text: the template filled with the categories and examples texts, or the "
                "empty text when no category is retained.")
        .build();
}

}  // namespace vadrel_guardrail
