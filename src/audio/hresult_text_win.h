// The text of a failed COM call of the WASAPI host. Windows files only.
#pragma once

#include <windows.h>

#include <string>

namespace brindle::com {

// "{system text} (os error 0x{hr:08X})"; Core Audio codes have no system text, so they get
// their documented meaning.
std::string hresult_text(HRESULT hr);

}  // namespace brindle::com
