// Docstring text that several functions of visualization.brelvo share.
#pragma once

#include <string>

namespace vis::brelvo {

// How the host must hand over palettes: the colour tables behind them are
// cached per palette object, not per palette content.
inline constexpr const char* kPaletteCacheRule =
    "Palette tables are cached by palette object (its identity), one per object and never\n"
    "evicted, so pass the same palette object every time. A fresh copy per call builds and\n"
    "keeps a new table each time; a palette changed in place keeps its old table.";

// A docstring `text` followed by the palette cache rule as its last paragraph.
inline std::string with_palette_cache_rule(const char* text) {
    return std::string(text) + "\n" + kPaletteCacheRule;
}

}  // namespace vis::brelvo
