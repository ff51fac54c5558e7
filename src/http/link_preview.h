// Link previews: chat and social services fetch a link the moment it is posted, to show
// its title and picture, before the person it was meant for has clicked it.
#pragma once
#include <string_view>

namespace qc {

// Whether a User-Agent value names a known link-preview or unfurling service (or a
// crawler that says it is one). Letters compare without regard to case. No browser's
// User-Agent matches, nor an app's own in-app browser.
bool IsLinkPreviewAgent(std::string_view userAgent);

}  // namespace qc
