// The spans of a document from its removed windows, and the document without them.

#include <algorithm>
#include <string>
#include <utility>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "dedup/dedup.hpp"
#include "dedup/words.hpp"
#include "text/utf.hpp"
#include "text/white_space.hpp"

namespace quarnel::core::dedup {
namespace {

struct Span {
  std::uint64_t start;  // bytes until the end, then characters
  std::uint64_t end;
  Why why;
  std::uint64_t kept_document;
  std::uint64_t kept_word;  // of the span's first word, to test whether a window continues it
  std::uint64_t kept_start;
  std::uint64_t first_word;
};

// The first byte of the white space that ends at byte `at` of `text`, not before `floor`.
std::uint64_t white_space_before(std::string_view text, std::uint64_t at, std::uint64_t floor) {
  while (at > floor) {
    std::size_t begin = at - 1;
    while (begin > floor && utf::is_continuation_byte(static_cast<unsigned char>(text[begin]))) {
      --begin;
    }
    std::size_t pos = begin;
    if (!white_space::is_white_space(utf::decode_utf8(text, pos)) || pos != at) break;
    at = begin;
  }
  return at;
}

class DocumentCut {
 public:
  DocumentCut(std::string_view text, const detail::WordBounds& words, const Params& params)
      : text_(text), words_(words), k_(params.min_words) {}

  // Takes the marks of this document, ascending by word; returns the number of removed words.
  std::uint64_t run(const MarkColumns& marks, std::size_t begin, std::size_t end) {
    const std::uint64_t n = words_.size();
    std::size_t m = begin;
    std::uint64_t cover_end = 0;  // one past the last word of the windows begun so far
    std::uint64_t reference_end = 0;
    std::uint64_t removed = 0;
    std::uint64_t last_kept_end = 0;  // one past the last kept word's last byte
    std::size_t run_first = 0;        // the first span of the current run of removed words
    bool open = false;
    for (std::uint64_t w = 0; w < n; ++w) {
      if (m < end && marks.word[m] == w) {
        const bool reference = marks.why[m] != static_cast<std::uint8_t>(Why::kRepeat);
        bool begins = !open;
        if (open && reference) {
          begins = spans_.back().why != Why::kReference;
        } else if (open) {
          const Span& span = spans_.back();
          begins = span.why == Why::kReference
                       ? w >= reference_end
                       : marks.kept_document[m] != span.kept_document ||
                             marks.kept_word[m] != span.kept_word + (w - span.first_word);
        }
        if (begins) {
          if (open) spans_.back().end = words_.starts[w];
          if (!open) run_first = spans_.size();
          if (reference) {
            spans_.push_back({words_.starts[w], 0, Why::kReference, kNoCopy, 0, kNoCopy, w});
          } else {
            spans_.push_back({words_.starts[w], 0, Why::kRepeat, marks.kept_document[m],
                              marks.kept_word[m], marks.kept_start[m], w});
          }
          open = true;
        }
        if (reference) reference_end = std::max(reference_end, w + k_);
        cover_end = std::max(cover_end, w + k_);
        ++m;
      }
      if (w < cover_end) {
        ++removed;
      } else {
        if (open) spans_.back().end = words_.starts[w];
        open = false;
        last_kept_end = words_.ends[w];
      }
    }
    if (open) {
      spans_.back().end = text_.size();
      Span& first = spans_[run_first];
      first.start = white_space_before(text_, first.start, last_kept_end);
    }
    return removed;
  }

  [[nodiscard]] std::vector<Span>& spans() { return spans_; }

 private:
  std::string_view text_;
  const detail::WordBounds& words_;
  std::uint64_t k_;
  std::vector<Span> spans_;
};

// The marks ascending by (document, word): the caller's columns when they are, else sorted
// copies (a distributed engine's marks arrive in the order its shuffles left them): counted by
// document, then each document's sorted by word. Linear but for the sorts within documents.
class OrderedMarks {
 public:
  OrderedMarks(const MarkColumns& marks, std::size_t documents) : view_(marks) {
    const std::size_t rows = marks.document.size();
    for (const std::size_t size : {marks.word.size(), marks.why.size(), marks.kept_document.size(),
                                   marks.kept_word.size(), marks.kept_start.size()}) {
      if (size != rows) throw UsageError("marks: every column must have one row per mark");
    }
    for (const std::uint64_t d : marks.document) {
      if (d >= documents) throw UsageError("marks: a mark names a document beyond the documents");
    }
    const auto before = [&](std::size_t a, std::size_t b) {
      return marks.document[a] < marks.document[b] ||
             (marks.document[a] == marks.document[b] && marks.word[a] < marks.word[b]);
    };
    bool ascending = true;
    for (std::size_t m = 1; m < rows && ascending; ++m) ascending = before(m - 1, m);
    if (ascending) return;
    std::vector<std::size_t> first(documents + 1, 0);
    for (const std::uint64_t d : marks.document) ++first[d + 1];
    for (std::size_t d = 0; d < documents; ++d) first[d + 1] += first[d];
    // (word, mark) pairs placed by document, then sorted within each: no indirection in the sorts
    std::vector<std::pair<std::uint64_t, std::size_t>> by_word(rows);
    std::vector<std::size_t> next(first.begin(), first.end() - 1);
    for (std::size_t m = 0; m < rows; ++m) by_word[next[marks.document[m]]++] = {marks.word[m], m};
    for (std::size_t d = 0; d < documents; ++d) {
      interrupt::checkpoint_every(d);
      const auto begin = by_word.begin() + static_cast<std::ptrdiff_t>(first[d]);
      const auto end = by_word.begin() + static_cast<std::ptrdiff_t>(first[d + 1]);
      std::sort(begin, end);
      if (std::adjacent_find(
              begin, end, [](const auto& a, const auto& b) { return a.first == b.first; }) != end) {
        throw UsageError("marks: a window of a document is marked twice");
      }
    }
    std::vector<std::size_t> order(rows);
    for (std::size_t m = 0; m < rows; ++m) order[m] = by_word[m].second;
    std::vector<std::pair<std::uint64_t, std::size_t>>().swap(by_word);
    gather(marks.document, order, document_);
    gather(marks.word, order, word_);
    gather(marks.why, order, why_);
    gather(marks.kept_document, order, kept_document_);
    gather(marks.kept_word, order, kept_word_);
    gather(marks.kept_start, order, kept_start_);
    view_ = {document_, word_, why_, kept_document_, kept_word_, kept_start_};
  }

  OrderedMarks(const OrderedMarks&) = delete;  // the view may point into this object
  OrderedMarks& operator=(const OrderedMarks&) = delete;

  [[nodiscard]] const MarkColumns& view() const { return view_; }

 private:
  template <class T>
  static void gather(std::span<const T> from, const std::vector<std::size_t>& order,
                     std::vector<T>& to) {
    to.resize(order.size());
    for (std::size_t m = 0; m < order.size(); ++m) to[m] = from[order[m]];
  }

  MarkColumns view_;
  std::vector<std::uint64_t> document_, word_, kept_document_, kept_word_, kept_start_;
  std::vector<std::uint8_t> why_;
};

}  // namespace

namespace detail {

void cut_document(std::string_view text, const MarkColumns& marks, std::size_t begin,
                  std::size_t end, const Params& params, std::uint64_t document,
                  const WordBounds& words, Cleaned& out) {
  if (end > begin &&
      (words.size() < params.min_words || marks.word[end - 1] > words.size() - params.min_words)) {
    throw UsageError("marks: a window reaches past the end of document " +
                     std::to_string(document));
  }
  DocumentCut cutter(text, words, params);
  const std::uint64_t removed = cutter.run(marks, begin, end);
  std::vector<Span>& spans = cutter.spans();
  const bool dropped = words.size() - removed < params.drop_below;
  if (!dropped) {
    std::uint64_t from = 0;
    for (const Span& span : spans) {
      out.texts.append(text.substr(from, span.start - from));
      from = span.end;
    }
    out.texts.append(text.substr(from));
  }
  out.text_ends.push_back(out.texts.size());
  out.words.push_back(words.size());
  out.removed_words.push_back(removed);
  out.dropped.push_back(dropped ? 1 : 0);
  std::vector<std::uint64_t> offsets;
  offsets.reserve(2 * spans.size());
  for (const Span& span : spans) {
    offsets.push_back(span.start);
    offsets.push_back(span.end);
  }
  bytes_to_chars(text, offsets);
  for (std::size_t s = 0; s < spans.size(); ++s) {
    out.span_document.push_back(document);
    out.span_start.push_back(offsets[2 * s]);
    out.span_end.push_back(offsets[2 * s + 1]);
    out.span_why.push_back(static_cast<std::uint8_t>(spans[s].why));
    out.span_kept_document.push_back(spans[s].kept_document);
    out.span_kept_start.push_back(spans[s].kept_start);
  }
}

}  // namespace detail

Cleaned cut(std::span<const std::string_view> documents, const MarkColumns& marks,
            const Params& params, std::uint64_t first_document) {
  if (params.min_words == 0) throw UsageError("min_words must be at least 1");
  const OrderedMarks ordered(marks, documents.size());
  const MarkColumns& sorted = ordered.view();
  Cleaned out;
  detail::WordBounds words;
  std::size_t m = 0;
  for (std::size_t d = 0; d < documents.size(); ++d) {
    interrupt::checkpoint();
    std::size_t end = m;
    while (end < sorted.document.size() && sorted.document[end] == d) ++end;
    words.of(documents[d]);
    detail::cut_document(documents[d], sorted, m, end, params, first_document + d, words, out);
    m = end;
  }
  return out;
}

}  // namespace quarnel::core::dedup
