/*
 * ozkText.h - bounded copies and formatting of text into the node agent's
 * fixed fields and buffers. Private to libferry.
 *
 * A text that does not fit is never cut: the field is left empty and the
 * call gives false, so that a name, id or path is either whole or absent
 * and the caller says which text was too long. A copy from a field no larger
 * than its destination always fits; the compiler checks that.
 */
#ifndef OZK_TEXT_H
#define OZK_TEXT_H

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <type_traits>

namespace ozk {

/* Bounded copy of a text into a buffer of `size` bytes; a text that does
 * not fit (or a null text) leaves the buffer empty and gives false. */
[[nodiscard]] inline bool fieldCopy(char *field, size_t size, const char *text)
{
    if (size == 0) {
        return false;
    }
    size_t length = text != nullptr ? strnlen(text, size) : size;
    if (length >= size) {
        field[0] = '\0';
        return false;
    }
    memcpy(field, text, length + 1);
    return true;
}

/* Bounded copy of a text given by pointer into a fixed field (see above). */
template <size_t N, typename Text>
requires(std::is_convertible_v<Text, const char *> && !std::is_array_v<Text>)
    [[nodiscard]] bool fieldCopy(char (&field)[N], const Text &text)
{
    return fieldCopy(field, N, static_cast<const char *>(text));
}

/* Copy from a fixed field or a literal that cannot be larger than the
 * destination: it always fits. A larger field is copied by pointer, and the
 * caller handles the result. */
template <size_t N, size_t M>
void fieldCopy(char (&field)[N], const char (&text)[M])
{
    static_assert(M <= N, "the source field is larger than the destination");
    (void)fieldCopy(field, N, static_cast<const char *>(text));
}

/* Formats into a fixed buffer; false (buffer emptied) when the text does not
 * fit. */
inline bool formatInto(char *buf, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));
inline bool formatInto(char *buf, size_t size, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf, size, format, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        if (size > 0) {
            buf[0] = '\0';
        }
        return false;
    }
    return true;
}

inline bool textEquals(const char *a, const char *b)
{
    return a != nullptr && b != nullptr && strcmp(a, b) == 0;
}

} // namespace ozk

#endif /* OZK_TEXT_H */
