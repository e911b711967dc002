#pragma once

// The line's page as built into pelorus-pool: tools/pool/web/, turned into strings when the
// build is configured.
namespace pelorus::pool {

extern const char* const kPageHtml;
extern const char* const kPageCss;
extern const char* const kPageJs;

}  // namespace pelorus::pool
