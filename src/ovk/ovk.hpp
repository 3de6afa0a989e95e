// ovk/ovk.hpp - the whole C++ layer in one include. See each header's opening
// comment: ref.hpp (references, errors), calls.hpp (calling and walking
// interpreter objects), function.hpp (function objects and argument binding),
// module.hpp (module definition and state), types.hpp (native heap types and
// classes on interpreter bases), compat.hpp (the interpreter API that differs
// between versions, or is private; included by ref.hpp).
#pragma once
#include "ref.hpp"
#include "calls.hpp"
#include "function.hpp"
#include "module.hpp"
#include "types.hpp"
