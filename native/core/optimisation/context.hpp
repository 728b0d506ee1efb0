#pragma once
// Checks of an execution context, with the system's messages.
#include <cstdint>
#include <string_view>

namespace ostrel::core::optimisation {

// ValueError unless the context's next free column lies past every column of a variable series
// it holds (`largest` is that series' largest column, `name` its key's text).
void check_next_column(std::int64_t next_available_col, std::string_view name,
                       std::int64_t largest);

// TypeError "output_id must be str, got <type>" / "block must be a FunctionBlock, got <type>".
[[noreturn]] void output_id_type_error(std::string_view type_name);
[[noreturn]] void block_type_error(std::string_view type_name);

}  // namespace ostrel::core::optimisation
