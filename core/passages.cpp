// placeholder brute force, never committed
#include "passages.hpp"
#include <map>
#include <algorithm>
#include "tokenizer.hpp"
#include "utf.hpp"
namespace quarnel::core::passages {
Passages find_passages(std::span<const std::string_view> docs, const PassageParams& p) {
  struct W { std::vector<std::uint64_t> s, e; };
  std::vector<W> w(docs.size());
  for (size_t d = 0; d < docs.size(); ++d) { w[d].s = tokenizer::word_starts(docs[d]); w[d].e = tokenizer::word_ends(docs[d]); }
  auto content = [&](size_t d, size_t i, size_t k) { return docs[d].substr(w[d].s[i], w[d].e[i+k-1]-w[d].s[i]); };
  std::map<std::pair<uint64_t,std::string_view>, std::vector<std::pair<uint32_t,uint64_t>>> occ;
  for (size_t d = 0; d < docs.size(); ++d) for (size_t i = 0; i < w[d].s.size(); ++i)
    for (size_t k = std::max<uint64_t>(1,p.min_words); i + k <= w[d].s.size(); ++k) occ[{k, content(d,i,k)}].push_back({(uint32_t)d, i});
  struct G { uint64_t k; uint64_t bytes; std::vector<std::pair<uint32_t,uint64_t>> o; };
  std::vector<G> gs;
  for (auto& [key, o] : occ) {
    if (o.size() < 2) continue;
    auto k = key.first;
    if (utf::count_code_points(key.second) < p.min_chars) continue;
    bool right = true, left = true;
    std::string_view rc, lc;
    for (size_t t = 0; t < o.size(); ++t) {
      auto [d, i] = o[t];
      if (i + k + 1 > w[d].s.size()) right = false; else { auto c = content(d,i,k+1); if (t==0) rc=c; else if (c!=rc) right=false; }
      if (i == 0) left = false; else { auto c = content(d,i-1,k+1); if (t==0) lc=c; else if (c!=lc) left=false; }
    }
    if (right || left) continue;
    gs.push_back({k, key.second.size(), o});
  }
  std::sort(gs.begin(), gs.end(), [](const G& a, const G& b){ if (a.k!=b.k) return a.k>b.k; if (a.bytes!=b.bytes) return a.bytes>b.bytes; return a.o[0]<b.o[0];});
  Passages out;
  for (auto& g : gs) { for (auto [d,i] : g.o) { out.document.push_back(d); out.start.push_back(w[d].s[i]); out.end.push_back(w[d].e[i+g.k-1]); } out.words.push_back(g.k); out.first.push_back(out.start.size()); }
  return out;
}
}
