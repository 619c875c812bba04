#pragma once
// The windows the candidate scan did not store, kept for set-aside recovery: tens of millions on
// a duplicated text, and looked at again only if rewritten phrases turn up.
// Memory: 8 to 12 bytes per logged entry (32-bit text), in chunks that are never copied.

#include <utility>

#include "duplicate_finder/chunked_log.hpp"

namespace quarnel::core::duplicate_finder {

template <class Offset>
struct SetAsideLogs {
  // A run phrase that was not stored: its starts are the ranks around `rank` that share its
  // bytes and cut a window of that length.
  struct Phrase {
    Offset rank;
    Offset raw_length;
  };
  // The windows at `start` longer than `shared`, the most it shares with a neighbour: their
  // bytes occur nowhere else.
  struct Start {
    Offset start;
    Offset shared;
    Offset limit;
  };
  // The windows at the start at `rank` of raw lengths [from, to): phrases set aside as above,
  // all at once (see the candidate scan's cut of a start).
  struct Windows {
    Offset rank;
    Offset from, to;
  };

  ChunkedLog<Phrase> phrases;
  ChunkedLog<Start> starts;
  ChunkedLog<Windows> windows;
  // Some window in them is rewritten: its phrase may equal windows of other bytes anywhere.
  bool rewritten = false;

  // Appends the logs of the ranks after these.
  void splice(SetAsideLogs&& later) {
    phrases.splice(std::move(later.phrases));
    starts.splice(std::move(later.starts));
    windows.splice(std::move(later.windows));
    rewritten = rewritten || later.rewritten;
  }
  void clear() {
    phrases.clear();
    starts.clear();
    windows.clear();
  }
};

}  // namespace quarnel::core::duplicate_finder
