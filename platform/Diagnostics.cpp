#include "platform/Diagnostics.h"

void PrintErrorLocation(LPCWSTR source, int line)
{
    NKDbgPrintfW(kErrorPrefix, source, line);
}
