#pragma once
// Rule-based sentence boundary detection for English prose (and the terminators of a few other
// scripts): byte offsets of every line feed and of every inner sentence end.

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quarnel::core::sentence_splitter {

// Ascending, duplicate-free byte offsets into `text`.
[[nodiscard]] std::vector<std::uint64_t> sentence_boundary_offsets(std::string_view text);
[[nodiscard]] bool is_common_word(std::string_view word);
[[nodiscard]] bool is_title_abbreviation(std::string_view text);

// Word tables, compared case-sensitively. The abbreviation set also holds the 52 ASCII letters
// as one-letter entries.
inline constexpr std::array<std::string_view, 75> kAbbreviationWords = {
    "Mr",  "Mrs",  "Ms",   "Dr",     "Prof", "Sr",  "Jr",   "Rev",  "Fr",   "St",   "Gen",
    "Col", "Lt",   "Capt", "Sgt",    "Gov",  "Sen", "Rep",  "Pres", "Hon",  "Ph",   "Sc",
    "Ed",  "vs",   "etc",  "al",     "Inc",  "Ltd", "Corp", "Co",   "Bros", "Jan",  "Feb",
    "Mar", "Apr",  "Jun",  "Jul",    "Aug",  "Sep", "Sept", "Oct",  "Nov",  "Dec",  "Mon",
    "Tue", "Wed",  "Thu",  "Fri",    "Sat",  "Sun", "Ave",  "Blvd", "Rd",   "Ln",   "Ct",
    "Pl",  "Mt",   "Ft",   "Vol",    "No",   "Fig", "Ch",   "Sec",  "Art",  "Dept", "Div",
    "Est", "Assn", "Univ", "approx", "ca",   "cf",  "eg",   "ie",   "viz"};

inline constexpr std::array<std::string_view, 20> kTitleAbbreviations = {
    "Mr",  "Mrs", "Ms", "Dr",   "Prof", "Sr",  "Jr",  "Rev", "Fr",   "St",
    "Gen", "Col", "Lt", "Capt", "Sgt",  "Gov", "Sen", "Rep", "Pres", "Hon"};

inline constexpr std::array<std::string_view, 78> kCommonWords = {
    "the",   "a",     "an",    "is",    "are",   "was",   "were", "be",    "been",   "being",
    "have",  "has",   "had",   "do",    "does",  "did",   "will", "would", "could",  "should",
    "may",   "might", "must",  "can",   "shall", "they",  "them", "their", "it",     "its",
    "this",  "that",  "these", "those", "what",  "which", "who",  "whom",  "whose",  "where",
    "when",  "why",   "how",   "all",   "each",  "every", "both", "few",   "more",   "most",
    "other", "some",  "such",  "no",    "not",   "only",  "same", "so",    "than",   "too",
    "very",  "just",  "also",  "now",   "here",  "there", "then", "once",  "please", "let",
    "buy",   "get",   "take",  "make",  "put",   "use",   "find", "give"};

inline constexpr std::array<std::string_view, 70> kSentenceStarters = {
    "The",      "A",       "An",        "I",        "He",          "She",
    "It",       "We",      "They",      "You",      "This",        "That",
    "These",    "Those",   "There",     "Here",     "What",        "When",
    "Where",    "Why",     "How",       "Who",      "Which",       "Please",
    "Let",      "Do",      "Does",      "Did",      "Can",         "Could",
    "Would",    "Should",  "Will",      "Is",       "Are",         "Was",
    "Were",     "Has",     "Have",      "Had",      "May",         "Might",
    "Must",     "If",      "But",       "And",      "Or",          "So",
    "Yet",      "For",     "Nor",       "As",       "Because",     "Since",
    "Although", "However", "Therefore", "Moreover", "Furthermore", "Nevertheless",
    "In",       "On",      "At",        "By",       "To",          "From",
    "With",     "About",   "After",     "Before"};

inline constexpr std::array<std::string_view, 28> kFileExtensions = {
    "txt", "pdf",  "doc", "docx", "jpg", "png", "gif", "mp3", "mp4",  "zip",
    "tar", "gz",   "js",  "ts",   "rs",  "py",  "rb",  "go",  "java", "html",
    "css", "json", "xml", "yaml", "yml", "md",  "csv", "xlsx"};

// Each is matched with a period in front of it.
inline constexpr std::array<std::string_view, 9> kDomainSuffixes = {
    "com", "org", "net", "edu", "gov", "io", "co", "ai", "dev"};

// Matched as byte prefixes of a word; the last two include their final period.
inline constexpr std::array<std::string_view, 21> kDottedPrefixes = {
    "U.S.A", "U.S", "U.K", "E.U", "A.M",   "P.M", "a.m", "p.m",   "Ph.D", "M.D", "B.A",
    "M.A",   "B.S", "M.S", "J.D", "D.D.S", "e.g", "i.e", "et.al", "vs.",  "v."};

inline constexpr std::array<std::string_view, 3> kUrlMarkers = {"http://", "https://", "www."};

}  // namespace quarnel::core::sentence_splitter
