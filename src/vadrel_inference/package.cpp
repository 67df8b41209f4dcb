// The extension module `vadrel_inference`: the package tree and the top-level surface.
#include "pyhost/frame.hpp"

namespace vadrel_inference {
namespace {

constexpr pyhost::ModuleDef kModules[] = {
    {"vadrel_inference", "Stand-in for the maker's vadrel_inference library.", true, nullptr},
};

}  // namespace
}  // namespace vadrel_inference

NB_MODULE(vadrel_inference, m) {
    pyhost::install_package(m, vadrel_inference::kModules);
}
