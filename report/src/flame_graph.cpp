#include "flame_graph.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace fennik::report {
namespace {

constexpr double CHAR_PX = 7;  // of the frames' 12px monospace text
constexpr double TEXT_PAD_PX = 3;
constexpr double TOP_PX = 40;             // room for the title and the search line
constexpr std::uint32_t HUE_SPREAD = 60;  // reds to yellows

std::string escaped(std::string_view s) {
  std::string out;
  for (const char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        // Control bytes are not allowed in XML at all.
        if (static_cast<unsigned char>(c) < 0x20) {
          out += ' ';
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", v);
  return buf;
}

// A warm colour from the name, the same for a function wherever it is.
std::string colour(std::string_view name) {
  std::uint32_t h = 2166136261u;
  for (const char c : name) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
  return "hsl(" + std::to_string(h % HUE_SPREAD) + ",85%," + std::to_string(50 + h / 7 % 20) + "%)";
}

// Zoom, hover and search: plain DOM scripting, no library.
constexpr char SCRIPT[] = R"JS(
(function () {
  var svg = document.querySelector("svg.flame"), NS = "http://www.w3.org/2000/svg";
  var W = +svg.getAttribute("data-width"), frames = [].slice.call(svg.querySelectorAll("g.f"));
  var names = JSON.parse(document.getElementById("names").textContent);
  // What the file leaves out to stay small: names, titles, positions as shares.
  frames.forEach(function (g) {
    var r = g.querySelector("rect"), name = names[+g.getAttribute("data-f")];
    var w = +r.getAttribute("width") / W, ns = +g.getAttribute("data-ns");
    g.setAttribute("data-name", name);
    g.setAttribute("data-x", +r.getAttribute("x") / W);
    g.setAttribute("data-w", w);
    g.setAttribute("data-fill", r.getAttribute("fill"));
    var title = document.createElementNS(NS, "title");
    title.textContent = name + "\n" + (ns / 1e6).toFixed(3) + " ms, " + (100 * w).toFixed(3) + "%";
    g.insertBefore(title, r);
    if (!g.querySelector("text")) {
      var t = document.createElementNS(NS, "text");
      t.setAttribute("y", +r.getAttribute("y") + 12);
      g.appendChild(t);
    }
  });
  var EPS = 0.002 / W;  // positions are written to a thousandth of a pixel
  function fit(g, x, w) {
    var r = g.querySelector("rect"), t = g.querySelector("text");
    r.setAttribute("x", x); r.setAttribute("width", w);
    t.setAttribute("x", x + 3);
    var name = g.getAttribute("data-name"), room = Math.floor((w - 6) / 7);
    t.textContent = room < 3 ? "" : (name.length <= room ? name : name.slice(0, room - 2) + "..");
  }
  function zoom(z) {
    var zx = +z.getAttribute("data-x"), zw = +z.getAttribute("data-w"), zd = +z.getAttribute("data-d");
    frames.forEach(function (g) {
      var x = +g.getAttribute("data-x"), w = +g.getAttribute("data-w"), d = +g.getAttribute("data-d");
      var inside = x >= zx - EPS && x + w <= zx + zw + EPS;
      if (d < zd && x <= zx + EPS && x + w >= zx + zw - EPS) { fit(g, 0, W); g.style.display = ""; }
      else if (d >= zd && inside) { fit(g, (x - zx) / zw * W, w / zw * W); g.style.display = ""; }
      else g.style.display = "none";
    });
  }
  frames.forEach(function (g) { g.addEventListener("click", function () { zoom(g); }); });
  function search(text) {
    var hit = 0, seen = [];
    frames.forEach(function (g) {
      var on = text !== "" && g.getAttribute("data-name").indexOf(text) >= 0;
      g.querySelector("rect").setAttribute("fill", on ? "rgb(200,60,255)" : g.getAttribute("data-fill"));
      if (on) {
        var x = +g.getAttribute("data-x"), w = +g.getAttribute("data-w");
        if (!seen.some(function (s) { return x >= s[0] - EPS && x + w <= s[0] + s[1] + EPS; })) { seen.push([x, w]); hit += w; }
      }
    });
    var out = document.getElementById("matched");
    if (out) out.textContent = text === "" ? "" : "matched " + (hit * 100).toFixed(1) + "%";
  }
  var box = document.getElementById("search");
  if (box) box.addEventListener("input", function () { search(box.value); });
  var label = svg.querySelector("#searchlabel");
  if (label) label.addEventListener("click", function () { var t = prompt("Search frames for"); if (t !== null) search(t); });
  window.flameSearch = search;
  window.flameZoom = zoom;
})();
)JS";

std::string label_of(const Function& f) {
  return (f.name.empty() ? std::string("<unknown>") : f.name) + " (" + f.file + ":" +
         std::to_string(f.line) + ")";
}

// `s` as a JSON string that can stand inside a script element of XML or HTML.
std::string json_string(std::string_view s) {
  std::string out = "\"";
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || c == '<' || c == '>' || c == '&') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

std::string flame_graph(const StackTree& tree, const CallTable& table, const std::string& title,
                        bool html) {
  const auto& nodes = tree.nodes();
  const std::uint64_t whole = nodes[StackTree::ROOT].total_ns;
  const double min_ns = static_cast<double>(whole) * FLAME_MIN_FRAME_PX / FLAME_WIDTH_PX;
  std::vector<std::vector<std::uint32_t>> children(nodes.size());
  for (std::uint32_t i = 1; i < nodes.size(); ++i) children[nodes[i].parent].push_back(i);
  const Functions& fns = table.functions();
  auto label = [&](std::uint32_t node) { return label_of(fns[nodes[node].fn]); };
  struct Placed {
    std::uint32_t node;
    double x;  // share of the whole, from the left
    unsigned depth;
  };
  std::vector<Placed> placed, todo{{StackTree::ROOT, 0, 0}};
  std::uint64_t left_out = 0;
  unsigned max_depth = 0;
  while (!todo.empty()) {
    const Placed p = todo.back();
    todo.pop_back();
    placed.push_back(p);
    max_depth = std::max(max_depth, p.depth);
    std::vector<std::uint32_t>& kids = children[p.node];
    std::ranges::sort(kids, [&](std::uint32_t a, std::uint32_t b) { return label(a) < label(b); });
    double x = p.x;
    for (const std::uint32_t k : kids) {
      const double w =
          whole == 0 ? 0 : static_cast<double>(nodes[k].total_ns) / static_cast<double>(whole);
      if (static_cast<double>(nodes[k].total_ns) < min_ns || nodes[k].total_ns == 0) {
        ++left_out;  // with everything above it
      } else {
        todo.push_back(Placed{k, x, p.depth + 1});
      }
      x += w;
    }
  }
  const double height = TOP_PX + (max_depth + 1) * FLAME_FRAME_PX + FLAME_FRAME_PX;
  std::string svg = "<svg class=\"flame\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                    number(FLAME_WIDTH_PX) + "\" height=\"" + number(height) + "\" data-width=\"" +
                    number(FLAME_WIDTH_PX) + "\" data-left-out=\"" + std::to_string(left_out) +
                    "\" font-family=\"monospace\" font-size=\"12\">\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"#fdfdf8\"/>\n<text x=\"6\" y=\"16\">" +
         escaped("fennik flame graph: " + title) +
         "</text>\n<text x=\"6\" y=\"32\" fill=\"#555\">" + std::to_string(left_out) +
         " frames narrower than " + number(FLAME_MIN_FRAME_PX) +
         " px left out; click a frame to zoom, the bottom one to zoom out</text>\n";
  if (!html) {
    svg += "<text id=\"searchlabel\" x=\"" + number(FLAME_WIDTH_PX - 120) +
           "\" y=\"16\" style=\"cursor:pointer\">Search...</text>\n<text id=\"matched\" x=\"" +
           number(FLAME_WIDTH_PX - 120) + "\" y=\"32\"></text>\n";
  }
  // Each frame names its function by an index into one list of names.
  std::string names = "[" + json_string("all");
  for (std::uint32_t fn = 0; fn < fns.size(); ++fn) names += "," + json_string(label_of(fns[fn]));
  const std::uint64_t covered = std::max<std::uint64_t>(whole, 1);
  for (const Placed& p : placed) {
    const bool root = p.node == StackTree::ROOT;
    const std::string name = root ? std::string("all") : label(p.node);
    const std::uint64_t ns = nodes[p.node].total_ns;
    const double w = static_cast<double>(ns) / static_cast<double>(covered);
    const auto y = static_cast<long>(height - (p.depth + 1) * FLAME_FRAME_PX);
    svg += "<g class=\"f\" data-f=\"" + std::to_string(root ? 0 : nodes[p.node].fn + 1) +
           "\" data-ns=\"" + std::to_string(ns) + "\" data-d=\"" + std::to_string(p.depth) +
           "\"><rect x=\"" + number(p.x * FLAME_WIDTH_PX) + "\" y=\"" + std::to_string(y) +
           "\" width=\"" + number(w * FLAME_WIDTH_PX) + "\" height=\"" +
           std::to_string(static_cast<long>(FLAME_FRAME_PX) - 1) + "\" fill=\"" +
           (root ? std::string("#c8c8c8") : colour(name)) + "\"/>";
    const auto room = static_cast<std::size_t>((w * FLAME_WIDTH_PX - 2 * TEXT_PAD_PX) / CHAR_PX);
    if (room >= 3) {
      svg += "<text x=\"" + number(p.x * FLAME_WIDTH_PX + TEXT_PAD_PX) + "\" y=\"" +
             std::to_string(y + static_cast<long>(FLAME_FRAME_PX) - 4) + "\">" +
             escaped(name.size() <= room ? name : name.substr(0, room - 2) + "..") + "</text>";
    }
    svg += "</g>\n";
  }
  svg += "<script id=\"names\" type=\"application/json\"><![CDATA[" + names + "]]]></script>\n";
  svg += std::string("<script><![CDATA[") + SCRIPT + "]]></script>\n</svg>\n";
  if (!html) return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + svg;
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + escaped(title) +
         "</title><style>g.f{cursor:pointer}g.f:hover rect{stroke:#000}</style></head><body>\n"
         "<p><label>Search <input id=\"search\" type=\"search\"></label> <span "
         "id=\"matched\"></span></p>\n" +
         svg + "</body></html>\n";
}

std::optional<std::string> write_flame_graph(const std::string& path, const StackTree& tree,
                                             const CallTable& table, const std::string& title) {
  const bool html = path.ends_with(".html") || path.ends_with(".htm");
  const std::string doc = flame_graph(tree, table, title, html);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::string e = std::strerror(errno);
    e[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(e[0])));
    return e;
  }
  const bool ok = std::fwrite(doc.data(), 1, doc.size(), f) == doc.size();
  if (std::fclose(f) != 0 || !ok) return std::string("the file could not be written whole");
  return std::nullopt;
}

}  // namespace fennik::report
