#pragma once
// The HTML page of the command line: its stylesheet and the layout of a group's block, kept
// together because the classes the writer puts on its elements are the ones styled here.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quarnel::report::html {

inline constexpr std::size_t kTextWidth = 100;    // characters of a group's text in its summary
inline constexpr std::int64_t kCards = 6;         // occurrences shown in context per group
inline constexpr std::int64_t kListed = 100;      // places listed after the cards
inline constexpr std::int64_t kContext = 160;     // characters of context on each side
inline constexpr std::int64_t kMarkLimit = 1200;  // longer occurrences show their two ends
inline constexpr std::int64_t kMarkEnd = 500;

inline constexpr std::string_view kStylesheet = R"(
body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#222;background:#fff}
h1{font-size:1.4em}table.files{border-collapse:collapse}
table.files td{padding:1px 8px;white-space:nowrap}
.bar{background:#eee;width:20em;height:.9em}.bar div{background:#d9534f;height:100%}
details{border-top:1px solid #ddd;padding:.3em 0}summary{cursor:pointer}
.meta{color:#666}.cards{display:flex;gap:.8em;overflow-x:auto;margin:.5em 0}
.card{flex:0 0 32em;max-width:32em;border:1px solid #ccc;border-radius:4px}
.card h3{font-size:.9em;margin:0;padding:.2em .5em;background:#f3f3f3}
pre{white-space:pre-wrap;word-break:break-word;margin:0;padding:.5em;font-size:12px}
mark{background:#ffe066}.gap{color:#999;font-style:italic}
ul.more{columns:3;font-size:.9em;color:#444}
)";

}  // namespace quarnel::report::html
