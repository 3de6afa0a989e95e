// Placeholder: this module is being written.
#include "ovk/ovk.hpp"

using namespace ovk;

namespace {
struct State {
    auto refs() { return std::tie(); }
};
void exec(PyObject*, State&) {}
}  // namespace

OVK_MODULE(State, exec, nullptr)
