// Decimal text of the OBJ numbers.
#include "obj_numbers.h"

namespace subdiv {

int format_f6(float value, char* out)
{
    char text[56];
    int length = format_float(value, text);
    std::memcpy(out, text, size_t(length));
    return length;
}

} // namespace subdiv
