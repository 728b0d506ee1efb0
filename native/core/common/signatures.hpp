#pragma once
// The Python signature of a native method that parses (*args, **kwargs) itself, read from the
// start of its docstring, so that stubs and IDEs see its parameters.
#include <string>
#include <string_view>

namespace ostrel::core {

// "def name(self, a, *, b)" from a docstring that starts "name(a, *, b): ..."; empty when the
// docstring does not start so. The parameters of a block's compute and compile are typed.
std::string signature_from_doc(std::string_view name, std::string_view doc);

}  // namespace ostrel::core
