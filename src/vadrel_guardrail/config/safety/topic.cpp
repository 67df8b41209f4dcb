// The module `vadrel_guardrail.config.safety.topic`: allowed and denied topics and the builder
// that turns them into the topic-safety blocks of the safety prompt.
#include "pyhost/classes.hpp"
#include "pyhost/frame.hpp"
#include "vadrel_guardrail/config/safety/common.hpp"
#include "vadrel_guardrail/constants.hpp"
#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {
namespace {

using namespace safety;

constexpr const char *kDefaultTopicSafetyFile = "safety/default_yaml/topic_safety.yaml";
constexpr const char *kAllowlistTemplate =
    "<BEGIN ALLOWLIST TOPIC>\n\n# Categories:\n{allowlist_topic}\n\n# Examples:\n{allowlist_topic_examples}\n\n"
    "<END ALLOWLIST TOPIC>";
constexpr const char *kDenylistTemplate =
    "<BEGIN DENYLIST TOPIC>\n\n# Categories:\n{denylist_topic}\n\n# Examples:\n{denylist_topic_examples}\n\n"
    "<END DENYLIST TOPIC>";

// Module globals (`load_yaml_config`, `validate_enum`, `TopicSafetyItem`) are read at call time,
// as Python code would read them, so that replacing one takes effect.
pyhost::Global this_module;
pyhost::Global base_builder;

nb::object mode(const char *name) {
    return constants::TopicSafetyMode.attr(name);
}

nb::object load_document(nb::handle cls) {
    return this_module.attr("load_yaml_config")(cls.attr("DEFAULT_TOPIC_SAFETY_FILE"));
}

// The items under `key` of the topic-safety document; a missing key is an empty list.
nb::list document_items(nb::handle document, const char *key) {
    nb::object elements = document.attr("get")(key, nb::list());
    return items_from(this_module.attr("TopicSafetyItem"), elements);
}

void builder_init(nb::handle self, nb::handle topic_safety_mode, nb::handle allowlist_topic,
                  nb::handle denylist_topic, nb::handle allowed_topic_items, nb::handle denied_topic_items) {
    // The mode is settled before any file is read.
    if (!topic_safety_mode.is_none()) {
        this_module.attr("validate_enum")(constants::TopicSafetyMode.get(), topic_safety_mode);
    }
    if (equals(topic_safety_mode, mode("DISABLED"))) {
        pyhost::raise(PyExc_ValueError, "TopicSafetyMode.DISABLED is not supported in the new configuration path.");
    }
    // Kept as given: a value text compares equal to its member wherever the mode is used.
    nb::setattr(self, "topic_safety_mode", truth(topic_safety_mode) ? nb::borrow(topic_safety_mode) : mode("HYBRID"));

    nb::object lists = self.attr("_load_default_items")(allowed_topic_items, denied_topic_items);
    nb::object allowed = lists[0];
    nb::object denied = lists[1];
    self.attr("_validate_items")(allowed, denied);
    self.attr("_assign_filtered_items")(allowed, denied, allowlist_topic, denylist_topic);
    self.attr("_preformat_strings")();
}

nb::object with_defaults(nb::handle cls, nb::kwargs kwargs) {
    nb::object document = load_document(cls);
    for (const char *key : {"allowed_topic_items", "denied_topic_items"}) {
        nb::list defaults = document_items(document, key);
        nb::object given = kwargs.contains(key) ? nb::object(kwargs[key]) : nb::none();
        if (truth(given)) {
            // A new list: the caller's own is left as it was.
            nb::object combined = pyhost::owned(PyNumber_Add(defaults.ptr(), given.ptr()));
            kwargs[key] = combined;
        } else {
            kwargs[key] = defaults;
        }
    }
    return pyhost::owned(PyObject_Call(cls.ptr(), nb::tuple().ptr(), kwargs.ptr()));
}

nb::dict to_dict(nb::handle self) {
    nb::dict result;
    result["allowed_topic_items"] = dump_items(self.attr("allowed_topic_items"));
    result["denied_topic_items"] = dump_items(self.attr("denied_topic_items"));
    return result;
}

nb::tuple load_default_items(nb::handle cls, nb::handle allowed_topic_items, nb::handle denied_topic_items) {
    if (!allowed_topic_items.is_none() && !denied_topic_items.is_none()) {
        return nb::make_tuple(allowed_topic_items, denied_topic_items);
    }
    nb::object document = load_document(cls);
    nb::object allowed =
        allowed_topic_items.is_none() ? document_items(document, "allowed_topic_items") : nb::borrow(allowed_topic_items);
    nb::object denied =
        denied_topic_items.is_none() ? document_items(document, "denied_topic_items") : nb::borrow(denied_topic_items);
    return nb::make_tuple(allowed, denied);
}

void validate_items(nb::handle allowed_topic_items, nb::handle denied_topic_items) {
    if (nb::len(allowed_topic_items) == 0) {
        pyhost::raise(PyExc_ValueError, "allowed_topic_items cannot be an empty list. Set to None to use defaults.");
    }
    if (nb::len(denied_topic_items) == 0) {
        pyhost::raise(PyExc_ValueError, "denied_topic_items cannot be an empty list. Set to None to use defaults.");
    }
}

void assign_filtered_items(nb::handle self, nb::handle allowed_topic_items, nb::handle denied_topic_items,
                           nb::handle allowlist_topic, nb::handle denylist_topic) {
    // Lists of their own, so that the caller's later changes to theirs do not reach the builder.
    nb::list allowed = filter_items(allowed_topic_items, allowlist_topic, "topic", "allowlist_topic");
    nb::list denied = filter_items(denied_topic_items, denylist_topic, "topic", "denylist_topic");
    nb::setattr(self, "allowed_topic_items", allowed);
    nb::setattr(self, "denied_topic_items", denied);
    nb::setattr(self, "allowlist_topic", field_values(allowed, "topic"));
    nb::setattr(self, "denylist_topic", field_values(denied, "topic"));
}

void preformat_strings(nb::handle self) {
    nb::object format_items = base_builder.attr("_get_formatted_items");
    nb::object allowed = format_items(self.attr("allowed_topic_items"), self.attr("ALLOWED_TOPIC_PREFIX"));
    nb::setattr(self, "_allowed_categories_string", allowed[0]);
    nb::setattr(self, "_allowed_examples_string", allowed[1]);
    nb::object denied = format_items(self.attr("denied_topic_items"), self.attr("DENIED_TOPIC_PREFIX"));
    nb::setattr(self, "_denied_categories_string", denied[0]);
    nb::setattr(self, "_denied_examples_string", denied[1]);
    nb::setattr(self, "_pre_formatted_get_string", self.attr("_build_get_string")());
}

nb::object build_get_string(nb::handle self) {
    nb::object topic_mode = self.attr("topic_safety_mode");
    nb::list blocks;
    // One formatting pass per block: braces in the inserted texts are not read as fields.
    nb::object denied = self.attr("_denied_categories_string");
    if ((equals(topic_mode, mode("DENYLIST")) || equals(topic_mode, mode("HYBRID"))) && truth(denied)) {
        blocks.append(self.attr("TOPIC_DENYLIST_TOPIC_TEMPLATE")
                          .attr("format")(nb::arg("denylist_topic") = denied,
                                          nb::arg("denylist_topic_examples") = self.attr("_denied_examples_string")));
    }
    nb::object allowed = self.attr("_allowed_categories_string");
    if ((equals(topic_mode, mode("ALLOWLIST")) || equals(topic_mode, mode("HYBRID"))) && truth(allowed)) {
        blocks.append(self.attr("TOPIC_ALLOWLIST_TOPIC_TEMPLATE")
                          .attr("format")(nb::arg("allowlist_topic") = allowed,
                                          nb::arg("allowlist_topic_examples") = self.attr("_allowed_examples_string")));
    }
    return pyhost::owned(PyUnicode_Join(nb::str("\n").ptr(), blocks.ptr()));
}

nb::object get_string(nb::handle self) {
    return self.attr("_pre_formatted_get_string");
}

}  // namespace

void init_safety_topic(nb::module_ m) {
    this_module.set(m);
    m.attr("TopicSafetyMode") = pyhost::import_from("vadrel_guardrail.constants", "TopicSafetyMode");
    m.attr("validate_enum") = pyhost::import_from("vadrel_core.utils", "validate_enum");
    nb::object base = bind_builder_imports(m);
    base_builder.set(base);

    nb::handle text = reinterpret_cast<PyObject *>(&PyUnicode_Type);
    nb::object list_of_text = nb::module_::import_("builtins").attr("list")[text];
    nb::object none = nb::none();

    pyhost::ClassBuilder::model(m, "TopicSafetyItem", "A topic to be allowed or denied.")
        .field("topic", text, "The name of the topic to be checked.")
        .field("description", pyhost::optional(text), none, "The description of the topic.")
        .field("examples", pyhost::optional(list_of_text), none, "Example texts that belong to the topic.")
        .property(
            "label", [](nb::handle self) { return self.attr("topic"); }, "The display name of the item: its topic.")
        .build();
    nb::object items = nb::module_::import_("builtins").attr("list")[m.attr("TopicSafetyItem")];
    nb::object mode = pyhost::owned(PyNumber_Or(m.attr("TopicSafetyMode").ptr(), text.ptr()));
    pyhost::keywords_type(m, "_TopicSafetyKeywords",
                          {{"topic_safety_mode", mode},
                           {"allowlist_topic", list_of_text}, {"denylist_topic", list_of_text},
                           {"allowed_topic_items", items}, {"denied_topic_items", items}});

    pyhost::ClassBuilder(m, "TopicSafetyConfigBuilder",
                         "Builds the topic-safety blocks of the safety prompt from allowed and denied topics.\n\n"
                         "Topics come from the packaged topic-safety file or from the caller, may be narrowed to "
                         "chosen names, and are coded AT0, AT1, ... (allowed) and DT0, DT1, ... (denied). The mode "
                         "selects the denylist block, the allowlist block or both, denylist first.")
        .base(base)
        .attr("DEFAULT_TOPIC_SAFETY_FILE", nb::str(kDefaultTopicSafetyFile))
        .attr("ALLOWED_TOPIC_PREFIX", nb::str("AT"))
        .attr("DENIED_TOPIC_PREFIX", nb::str("DT"))
        .attr("TOPIC_ALLOWLIST_TOPIC_TEMPLATE", nb::str(kAllowlistTemplate))
        .attr("TOPIC_DENYLIST_TOPIC_TEMPLATE", nb::str(kDenylistTemplate))
        .method("__init__", &builder_init, nb::arg("topic_safety_mode").none(),
                nb::arg("allowlist_topic").none(), nb::arg("denylist_topic").none(),
                nb::arg("allowed_topic_items").none(), nb::arg("denied_topic_items").none(),
                "Validate the mode (HYBRID when None), resolve the item lists (the packaged ones when None), keep "
                "the topics named by the filters (all when None) and build the topic-safety text.")
        .classmethod("with_defaults", &with_defaults, nb::arg("kwargs"),
                     "A builder over the packaged default items of each list followed by the caller's items; other "
                     "keywords pass to the constructor.")
        .method("to_dict", &to_dict,
                "The retained items as {\"allowed_topic_items\": [...], \"denied_topic_items\": [...]}.")
        .classmethod("_load_default_items", &load_default_items, nb::arg("allowed_topic_items").none(),
                     nb::arg("denied_topic_items").none(),
                     "The two item lists, each list left None replaced by the topic-safety file's items.")
        .staticmethod("_validate_items", &validate_items, nb::arg("allowed_topic_items").none(),
                      nb::arg("denied_topic_items").none(), "Refuse an empty allowed list, then an empty denied list.")
        .method("_assign_filtered_items", &assign_filtered_items, nb::arg("allowed_topic_items").none(),
                nb::arg("denied_topic_items").none(), nb::arg("allowlist_topic").none(),
                nb::arg("denylist_topic").none(), "Keep the items named by each filter and store them with their topics.")
        .method("_preformat_strings", &preformat_strings, "Format both lists and build the final text.")
        .method("_build_get_string", &build_get_string,
                "The blocks that the mode selects and whose list retains an item, denylist first, joined by a line "
                "feed.")
        .method("get_string", &get_string, "The topic-safety text built at construction.")
        .build();
}

}  // namespace vadrel_guardrail
