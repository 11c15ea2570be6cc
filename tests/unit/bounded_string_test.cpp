// The bounded wide-string helpers: what fits, what is cut, and the arguments refused outright.
#include "bounded_string.h"
#include "hresult_values.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>

namespace {

constexpr wchar_t FILL = L'#';
constexpr size_t BUFFER_CHARS = NAME_CHARS + 8;

// A destination with a known fill, so a write past the capacity or on a refusal shows.
struct Destination
{
    wchar_t text[BUFFER_CHARS];
    Destination() { std::fill(std::begin(text), std::end(text), FILL); }

    bool UntouchedFrom(size_t start) const
    {
        for (size_t i = start; i < BUFFER_CHARS; ++i) {
            if (text[i] != FILL)
                return false;
        }
        return true;
    }
};

struct SizedCase
{
    const char *name;
    size_t capacity; // characters for BoundedCopy/BoundedFormat, bytes for BoundedFormatBytes
    HRESULT expected;
    const wchar_t *text; // null: nothing written
};

void CheckResult(const SizedCase &row, const Destination &destination, HRESULT hr,
                 size_t capacityChars)
{
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.expected, hr);
    if (row.text == nullptr) {
        EXPECT_TRUE(destination.UntouchedFrom(0));
        return;
    }
    EXPECT_EQ(std::wstring(row.text), std::wstring(destination.text));
    // Nothing beyond the terminator of the kept text, nor past the capacity, is written.
    const size_t written = std::wstring(row.text).size() + 1;
    EXPECT_LE(written, capacityChars);
    EXPECT_TRUE(destination.UntouchedFrom(written));
}

// "abc:42" is six characters: capacity 7 fits exactly, 6 makes _vsnwprintf fill the buffer
// without a terminator, 5 makes it answer -1.
const SizedCase FORMAT_CASES[] = {
    {"room to spare", 16, S_OK, L"abc:42"},
    {"exact fit", 7, S_OK, L"abc:42"},
    {"filled without terminator", 6, E_BOUNDED_CUT, L"abc:4"},
    {"does not fit", 5, E_BOUNDED_CUT, L"abc:"},
    {"terminator only", 1, E_BOUNDED_CUT, L""},
    {"capacity 0", 0, E_INVALIDARG, nullptr},
    {"capacity above the limit", size_t{0x80000000}, E_INVALIDARG, nullptr},
    {"capacity at the limit", size_t{0x7FFFFFFF}, S_OK, L"abc:42"},
};

TEST(BoundedFormat, FitsCutsAndRefuses)
{
    for (const SizedCase &row : FORMAT_CASES) {
        Destination destination;
        const HRESULT hr =
            BoundedFormat(destination.text, row.capacity, L"%ls:%d", L"abc", 42);
        CheckResult(row, destination, hr, row.capacity);
    }
}

// The byte form halves the capacity first: odd byte counts lose their last byte.
const SizedCase FORMAT_BYTES_CASES[] = {
    {"room to spare", 32, S_OK, L"abc:42"},
    {"exact fit", 14, S_OK, L"abc:42"},
    {"odd count rounds down to exact fit", 15, S_OK, L"abc:42"},
    {"filled without terminator", 12, E_BOUNDED_CUT, L"abc:4"},
    {"odd count rounds down to a cut", 13, E_BOUNDED_CUT, L"abc:4"},
    {"does not fit", 10, E_BOUNDED_CUT, L"abc:"},
    {"one character", 2, E_BOUNDED_CUT, L""},
    {"one byte is no character", 1, E_INVALIDARG, nullptr},
    {"capacity 0", 0, E_INVALIDARG, nullptr},
    {"characters above the limit", size_t{0x100000000}, E_INVALIDARG, nullptr},
    {"characters at the limit", size_t{0xFFFFFFFF}, S_OK, L"abc:42"},
};

TEST(BoundedFormatBytes, FitsCutsAndRefuses)
{
    for (const SizedCase &row : FORMAT_BYTES_CASES) {
        Destination destination;
        const HRESULT hr =
            BoundedFormatBytes(destination.text, row.capacity, L"%ls:%d", L"abc", 42);
        CheckResult(row, destination, hr, row.capacity / sizeof(wchar_t));
    }
}

const SizedCase COPY_CASES[] = {
    {"room to spare", 16, S_OK, L"abcdef"},
    {"exact fit", 7, S_OK, L"abcdef"},
    {"cut by one", 6, E_BOUNDED_CUT, L"abcde"},
    {"terminator only", 1, E_BOUNDED_CUT, L""},
    {"capacity 0", 0, E_INVALIDARG, nullptr},
    {"capacity above the limit", size_t{0x80000000}, E_INVALIDARG, nullptr},
};

TEST(BoundedCopy, FitsCutsAndRefuses)
{
    for (const SizedCase &row : COPY_CASES) {
        Destination destination;
        const HRESULT hr = BoundedCopy(destination.text, row.capacity, L"abcdef");
        CheckResult(row, destination, hr, row.capacity);
    }
}

TEST(BoundedFormat, FormatsWideArgumentsAndNumbers)
{
    wchar_t text[NAME_CHARS];
    ASSERT_EQ(S_OK, BoundedFormat(text, NAME_CHARS, L"CLSID\\%ls\\%ls|%u|%d|%04X",
                                  L"{3E1C7A52-9B04}", L"\u00e9t\u00e9\u4e2d", 4000u, -7, 0x7Au));
    EXPECT_EQ(std::wstring(L"CLSID\\{3E1C7A52-9B04}\\\u00e9t\u00e9\u4e2d|4000|-7|007A"),
              std::wstring(text));
}

struct CatCase
{
    const char *name;
    size_t existing; // characters already in the destination, all 'a'
    const wchar_t *source;
    HRESULT expected;
    size_t length;     // length of the result
    wchar_t lastChar;  // its last character, when it has one
};

const CatCase CAT_CASES[] = {
    {"appends", 2, L"bc", S_OK, 4, L'c'},
    {"empty destination", 0, L"bc", S_OK, 2, L'c'},
    {"fills to 259 exactly", 258, L"b", S_OK, 259, L'b'},
    {"cut at 259", 258, L"bc", E_BOUNDED_CUT, 259, L'b'},
    {"full destination, empty source", 259, L"", S_OK, 259, L'a'},
    {"full destination", 259, L"b", E_BOUNDED_CUT, 259, L'a'},
};

TEST(BoundedCat, AppendsWithinItsCapacity)
{
    for (const CatCase &row : CAT_CASES) {
        SCOPED_TRACE(row.name);
        Destination destination;
        std::fill(destination.text, destination.text + row.existing, L'a');
        destination.text[row.existing] = L'\0';
        EXPECT_EQ(row.expected, BoundedCat(destination.text, row.source));
        const std::wstring result(destination.text);
        ASSERT_EQ(row.length, result.size());
        EXPECT_EQ(row.lastChar, result.back());
        EXPECT_TRUE(destination.UntouchedFrom(NAME_CHARS));
    }
}

TEST(BoundedCat, RefusesDestinationWithoutTerminatorIn260)
{
    Destination destination;
    destination.text[NAME_CHARS] = L'\0'; // the first terminator lies just outside
    EXPECT_EQ(E_INVALIDARG, BoundedCat(destination.text, L"b"));
    for (size_t i = 0; i < NAME_CHARS; ++i)
        ASSERT_EQ(FILL, destination.text[i]) << i;
}

} // namespace
