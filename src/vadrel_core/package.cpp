// The extension module `vadrel_core`: the package tree and the top-level surface.
#include "pyhost/frame.hpp"

namespace vadrel_core {
namespace {

constexpr pyhost::ModuleDef kModules[] = {
    {"vadrel_core", "Stand-in for the maker's vadrel_core library.", true, nullptr},
};

}  // namespace
}  // namespace vadrel_core

NB_MODULE(vadrel_core, m) {
    pyhost::install_package(m, vadrel_core::kModules);
}
