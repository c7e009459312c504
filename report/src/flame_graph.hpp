// A flame graph of merged call stacks as one self-contained file: SVG, or an
// HTML page around the same SVG when the name ends in ".html". Width is time;
// hovering names a frame's function, time and share, a click zooms into a
// frame (a click on the bottom frame zooms back out), and a search box
// highlights the frames whose name matches.
#pragma once

#include <optional>
#include <string>

#include "call_table.hpp"
#include "stack_tree.hpp"

namespace fennik::report {

inline constexpr double FLAME_WIDTH_PX = 1200;
inline constexpr double FLAME_FRAME_PX = 16;
// Frames narrower than this are left out (and counted), keeping files small.
inline constexpr double FLAME_MIN_FRAME_PX = 1;

// The document; `tree` has its totals summed.
std::string flame_graph(const StackTree& tree, const CallTable& table, const std::string& title,
                        bool html);
// Writes it to `path`; an error is a phrase.
std::optional<std::string> write_flame_graph(const std::string& path, const StackTree& tree,
                                             const CallTable& table, const std::string& title);

}  // namespace fennik::report
