// rtl_strings.cpp - counted UTF-16 strings and the 16-bit wide-character routines.
//
// Lengths in UNICODE_STRING are in bytes. The Rtl routines behave as documented: copying
// truncates to the destination's MaximumLength, appending fails with STATUS_BUFFER_TOO_SMALL
// rather than truncating, and both add a terminating null only when there is room for it.
#include "core.h"

#include <algorithm>

namespace ksim::detail {

u16 FromCounted(const UNICODE_STRING *s)
{
    if (s == nullptr || s->Buffer == nullptr) return u16();
    return u16(reinterpret_cast<const char16_t *>(s->Buffer), s->Length / sizeof(WCHAR));
}

UNICODE_STRING CountedView(const u16 &text)
{
    UNICODE_STRING s;
    s.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t *>(text.data()));
    s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    return s;
}

namespace {
char16_t UpcaseChar(char16_t c)
{
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
    // Latin-1 letters, except the division sign and y with diaeresis (whose capital lies elsewhere).
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
    return c;
}
}  // namespace

u16 Upcase(const u16 &s)
{
    u16 out = s;
    for (auto &c : out) c = UpcaseChar(c);
    return out;
}

bool EqualsInsensitive(const u16 &a, const u16 &b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (UpcaseChar(a[i]) != UpcaseChar(b[i])) return false;
    }
    return true;
}

}  // namespace ksim::detail

using namespace ksim::detail;

namespace {

void Terminate(PUNICODE_STRING s)
{
    if (s->Length + sizeof(WCHAR) <= s->MaximumLength) s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

NTSTATUS Append(PUNICODE_STRING destination, const WCHAR *source, size_t bytes)
{
    if (bytes == 0) return STATUS_SUCCESS;
    if (destination->Length + bytes > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<char *>(destination->Buffer) + destination->Length, source, bytes);
    destination->Length = static_cast<USHORT>(destination->Length + bytes);
    Terminate(destination);
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = ksim_wcslen(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) bytes = 0xFFFC;  // the longest a counted string can describe
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    // Strings the kernel hands out (interface link names) are pool blocks of its own.
    if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength) bytes = DestinationString->MaximumLength & ~1;
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    Terminate(DestinationString);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Source == nullptr) return STATUS_SUCCESS;
    return Append(Destination, Source, ksim_wcslen(Source) * sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (Source == nullptr || Source->Buffer == nullptr) return STATUS_SUCCESS;
    return Append(Destination, Source->Buffer, Source->Length);
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    ksim::u16 a = FromCounted(String1);
    ksim::u16 b = FromCounted(String2);
    if (CaseInSensitive) {
        a = Upcase(a);
        b = Upcase(b);
    }
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return static_cast<LONG>(a[i]) - static_cast<LONG>(b[i]);
    }
    return static_cast<LONG>(a.size()) - static_cast<LONG>(b.size());
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length) return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

// ---- 16-bit wide-character routines ----------------------------------------------------------------

size_t ksim_wcslen(const WCHAR *s)
{
    size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}

int ksim_wcsncmp(const WCHAR *s1, const WCHAR *s2, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        auto a = static_cast<uint16_t>(s1[i]);
        auto b = static_cast<uint16_t>(s2[i]);
        if (a != b) return a < b ? -1 : 1;
        if (a == 0) return 0;
    }
    return 0;
}

int ksim_wcscmp(const WCHAR *s1, const WCHAR *s2) { return ksim_wcsncmp(s1, s2, SIZE_MAX); }

WCHAR *ksim_wcscpy(WCHAR *dst, const WCHAR *src)
{
    size_t i = 0;
    do {
        dst[i] = src[i];
    } while (src[i++] != 0);
    return dst;
}

WCHAR *ksim_wcscat(WCHAR *dst, const WCHAR *src)
{
    ksim_wcscpy(dst + ksim_wcslen(dst), src);
    return dst;
}

WCHAR *ksim_wcsncpy(WCHAR *dst, const WCHAR *src, size_t n)
{
    size_t i = 0;
    for (; i < n && src[i] != 0; ++i) dst[i] = src[i];
    for (; i < n; ++i) dst[i] = 0;  // pads with nulls, and adds none when src fills n
    return dst;
}

}  // extern "C"
