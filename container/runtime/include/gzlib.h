/*
 * gzlib.h - streaming gzip reader with small fixed buffers (4096 bytes of
 * compressed input, a 32 KiB inflate window) per open file.
 *
 * The reader state is private to the unit. Do not include this header in
 * a unit that also includes zlib's own header: both name the handle type
 * gzFile.
 */
#ifndef OZ_GZLIB_H
#define OZ_GZLIB_H

#ifdef __cplusplus
extern "C" {
#endif

#define GZ_INPUT_BUF_SIZE 4096
#define GZ_DICT_SIZE      32768

typedef struct gzFile_s *gzFile;

/* Opens a gzip file for streaming. mode must not be NULL (it is not
 * interpreted further). NULL on any failure (a file of 3 bytes or less, not
 * a gzip stream, an unreadable file...). */
gzFile ugzopen(const char *fileName, const char *mode);

/* Delivers up to len next uncompressed bytes into buf. Returns the count
 * (less than len only at the end of the data), 0 at the end, and -1 for a
 * NULL file or buffer, a zero length, or a corrupt or truncated stream
 * (errno EBADMSG, or the errno of the failing read). */
int ugzread(gzFile file, void *buf, unsigned int len);

/* Closes the file and frees everything. -1 for NULL, else 0. */
int ugzclose(gzFile file);

#ifdef __cplusplus
}
#endif

#endif /* OZ_GZLIB_H */
