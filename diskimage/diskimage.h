/*
 * diskimage: read and write Commodore 1541, 1571 and 1581 disk images
 * (D64, D71, D81, each with or without a trailing error-information table).
 *
 * A C interface: plain records, null results, short counts and a drive-style
 * status kept in the image. Nothing here throws, and nothing here prints,
 * except the internal range error described at di_get_ts_addr().
 *
 * Ownership: the caller owns a DiImage from di_load_image()/di_create_image()
 * until di_free_image(). Block addresses, FileEntry pointers and read handles
 * point into the image's buffer, so the image must outlive them. A DiFile is
 * owned by its opener until di_close().
 */
#ifndef DISKIMAGE_DISKIMAGE_H
#define DISKIMAGE_DISKIMAGE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Image kind. An int, so that any value can be passed: values other than
 * these three have no tracks and no valid blocks. */
typedef int ImageType;
enum { D64 = 1, D71 = 2, D81 = 3 };

/* The six image file sizes: 256 bytes a block, and with error information
 * one more byte a block (683, 1366 and 3200 blocks). The size alone tells the
 * kind of a loaded image. */
enum {
  DI_D64_SIZE = 174848,
  DI_D64_ERR_SIZE = 175531,
  DI_D71_SIZE = 349696,
  DI_D71_ERR_SIZE = 351062,
  DI_D81_SIZE = 819200,
  DI_D81_ERR_SIZE = 822400
};

/* File types, bits 0-2 of a slot's type byte; the names in ftype[]. */
enum {
  DI_FT_DEL = 0,
  DI_FT_SEQ = 1,
  DI_FT_PRG = 2,
  DI_FT_USR = 3,
  DI_FT_REL = 4,
  DI_FT_CBM = 5,
  DI_FT_DIR = 6,
  DI_FT_UNKNOWN = 7 /* listed as "???" */
};

/* Status codes the library sets, as the drive numbers them (see di_status()).
 * 20 to 29 and 74 come from a block's error information. */
enum {
  DI_STATUS_OK = 0,
  DI_STATUS_FILES_SCRATCHED = 1, /* di_delete(); the track field holds the count */
  DI_STATUS_HEADER_NOT_FOUND = 20,
  DI_STATUS_NO_SYNC = 21,
  DI_STATUS_DATA_NOT_FOUND = 22,
  DI_STATUS_DATA_CHECKSUM = 23,
  DI_STATUS_BYTE_DECODING = 24,
  DI_STATUS_WRITE_VERIFY = 25,
  DI_STATUS_WRITE_PROTECT = 26,
  DI_STATUS_HEADER_CHECKSUM = 27,
  DI_STATUS_WRITE_ERROR = 28,
  DI_STATUS_ID_MISMATCH = 29,
  DI_STATUS_FILE_TOO_LARGE = 52, /* a read entered a block a second time */
  DI_STATUS_FILE_NOT_FOUND = 62,
  DI_STATUS_FILE_EXISTS = 63,
  DI_STATUS_TYPE_MISMATCH = 64,
  DI_STATUS_ILLEGAL_TS = 66, /* a link or first block that names no block */
  DI_STATUS_DISK_FULL = 72,
  DI_STATUS_DOS_MISMATCH = 73, /* what di_status() returns for a fresh image */
  DI_STATUS_DRIVE_NOT_READY = 74,
  DI_STATUS_FRESH = 254,  /* the status field of a fresh image */
  DI_STATUS_FAILED = 255, /* di_open() failed for another reason */
  DI_STATUS_UNKNOWN = -1  /* an empty last block, or an unknown error byte */
};

/* Bytes a status buffer must hold for di_status(). */
enum { DI_STATUS_SIZE = 48 };

/* Track/sector address. Tracks count from 1, sectors from 0; track 0 means
 * "no block" and ends a chain. */
typedef struct TsPair {
  unsigned char track;
  unsigned char sector;
} TsPair;

/* One disk image held wholly in memory. Programs may read every field;
 * the library keeps them consistent, so write only `status` (to reset it). */
typedef struct DiImage {
  char *path;                /* owned copy of the file name; di_sync() writes here */
  int size;                  /* file size: one of the six image sizes */
  ImageType type;            /* D64, D71 or D81, told by size */
  unsigned char *blocks;     /* owned: all blocks, then the error table if any */
  unsigned char *error_info; /* into blocks: error table, or null */
  TsPair bam_ts;             /* BAM block (D81: the first of two) */
  TsPair bam2_ts;            /* second BAM block (D71, D81) */
  TsPair header_ts;          /* disk header: name, id, directory link */
  int open_files;            /* DiFile handles open on the image */
  int free_blocks;           /* free block count kept with the image */
  int dirty;                 /* 1 when changed since load or last write-back */
  int status;                /* drive status code, see di_status() */
  int interleave;            /* sector interleave used by the allocator */
  TsPair status_ts;          /* track and sector that go with status */
} DiImage;

/* One 32-byte directory slot, in place inside the image buffer. */
typedef struct FileEntry {
  unsigned char link[2];     /* slot 0: the directory block's link; else unused */
  unsigned char type;        /* bits 0-2 file type, 0x40 locked, 0x80 closed; 0 = free */
  TsPair first_ts;           /* first data block; track 0 = no block */
  unsigned char rawname[16]; /* name padded with 0xA0 */
  unsigned char unused[9];
  unsigned char blocks[2]; /* block count, low byte first */
} FileEntry;

/* An open file: a read handle ("rb") or a write handle ("wb"). */
typedef struct DiFile {
  DiImage *image;
  FileEntry *entry;            /* the file's slot; null for the directory "$" */
  char mode;                   /* 'r' or 'w' */
  int position;                /* bytes transferred since the open */
  TsPair ts;                   /* current block (write: last block written) */
  TsPair next_ts;              /* read: link of the current block; write: last allocated */
  unsigned char *buffer;       /* read: data of the current block, in the image; write: owned */
  int buf_pos;                 /* bytes of the current block delivered (write: buffered) */
  int buf_len;                 /* data bytes in the current block (write: 254) */
  unsigned char visited[3200]; /* read: blocks passed, index (track-1)*40+sector */
} DiFile;

/* File type names by bits 0-2 of the type byte (DI_FT_DEL to DI_FT_UNKNOWN):
 * "del", "seq", "prg", "usr", "rel", "cbm", "dir", "???". */
extern const char *const ftype[8];

/* ---- Geometry ---------------------------------------------------------- */

/* Number of tracks: 35, 70, 80; 0 for any other kind. */
int di_tracks(ImageType type);
/* Sectors of a track: 17 to 21 by zone (D64; D71 per side), 40 (D81), 0 for
 * any other kind. No range test is made on track. */
int di_sectors_per_track(ImageType type, int track);
/* 1 when ts addresses an existing block of the kind, else 0. */
int di_ts_is_valid(ImageType type, TsPair ts);
/* Address of block ts inside image->blocks. Writing through it changes the
 * image; the writer sets `dirty`. ts must be valid: an invalid pair prints
 * the internal range error line on standard output and ends the process with
 * status 255. Check links read from a disk with di_ts_is_valid() first. */
unsigned char *di_get_ts_addr(DiImage *image, TsPair ts);

/* ---- Image container --------------------------------------------------- */

/* Loads the whole file. Returns a new image (status 254, dirty 0) or null
 * when the file cannot be opened or read, is not a regular file or block
 * device, or its size is not one of the six image sizes. Sets no status; on
 * null, errno says why: as open() or read() left it (ENOENT, EACCES, ...),
 * EISDIR for a directory, EINVAL for any other file that is no regular file
 * or block device and for a size that is none of the six, EIO for a file
 * that ended before its size, ENOMEM when memory ran out. */
DiImage *di_load_image(const char *path);
/* New all-zero, unformatted image of size bytes (one of the six sizes) that
 * will be written to path; dirty 1. Null for any other size (errno EINVAL)
 * or when memory ran out (ENOMEM). */
DiImage *di_create_image(const char *path, int size);
/* Writes the whole buffer to path through a temporary file that replaces it
 * only when complete. On success dirty becomes 0; on any failure the old file
 * is untouched and dirty stays 1. Sets no status. */
void di_sync(DiImage *image);
/* Writes the image back if dirty, then releases it. Close handles first.
 * A null image is a harmless no-op. */
void di_free_image(DiImage *image);

/* ---- Status ------------------------------------------------------------ */

/* Writes the status string "%02d,message,%02d,%02d" (at most 47 characters
 * and a zero byte; buffer must hold DI_STATUS_SIZE, 48) and returns the code,
 * or 73 with the drive's power-on message while the status is 254 (fresh
 * image). */
int di_status(DiImage *image, char *buffer);
/* Drive status code recorded for block ts in the error information: 0 for no
 * error (and for every block of an image without the table), 20-29 or 74 for
 * a recorded error, -1 for a byte that names no known error. ts must be valid. */
int di_get_ts_err(DiImage *image, TsPair ts);

/* ---- BAM --------------------------------------------------------------- */

/* First directory block: 18/1 on D64 and D71; the header's link on D81. */
TsPair di_get_dir_ts(DiImage *image);
/* Address of the 16-byte disk name in the header block; the id, 0xA0 and the
 * DOS type follow 18 bytes after it. */
unsigned char *di_title(DiImage *image);
/* Free count of a track (1 to di_tracks) as stored in the BAM, 0-255. */
int di_track_blocks_free(DiImage *image, int track);
/* 1 when the BAM marks valid block ts free, else 0. */
int di_is_ts_free(DiImage *image, TsPair ts);
/* Marks valid block ts used (count - 1, bit cleared), without testing it. */
void di_alloc_ts(DiImage *image, TsPair ts);
/* Marks valid block ts free (count + 1, bit set), without testing it. */
void di_free_ts(DiImage *image, TsPair ts);

/* ---- Names ------------------------------------------------------------- */

/* Fills raw[0..15] with 0xA0 and copies up to 16 characters of name into it,
 * byte for byte: a raw name is PETSCII. Pass upper-case ASCII for an ordinary
 * name: PETSCII shows 0x41-0x5A as unshifted letters, which kestrix lists in
 * lower case ("HELLO" lists as "hello"), while lower-case ASCII, 0x61-0x7A,
 * is shifted letters and lists in upper case. Returns the number copied.
 * Writes no terminator. */
int di_rawname_from_name(unsigned char *raw, const char *name);
/* Copies raw up to its first 0xA0 (at most 16 bytes) into name and ends it
 * with a zero byte; name must hold 17 bytes. Returns the number copied. */
int di_name_from_rawname(char *name, const unsigned char *raw);

/* ---- Files ------------------------------------------------------------- */

/* Opens a file. name is "$" (the directory, mode "rb") or a 16-byte raw name
 * (a pattern with '*' and '?' when reading); type is the file type (bits 0-2
 * of the slot's type byte). mode is "rb" or "wb". Returns a handle and status
 * 0, or null with the status saying why: 255 (bad mode, no memory), 62 not
 * found, 66 illegal first block or link, -1 empty first block, 63 file exists
 * and 72 disk full (writing). */
DiFile *di_open(DiImage *image, const unsigned char *name, int type, const char *mode);
/* Reads up to len bytes along the chain into dst; returns how many. Fewer
 * than len: end of file (status unchanged) or a stop: the block's error code,
 * 66 at an illegal link (every further read returns 0 with 66 again). A block
 * entered a second time sets 52 and reading goes on around the loop. */
int di_read(DiFile *file, void *dst, int len);
/* Appends len bytes, written as given: nothing is added, so a PRG file's data
 * starts with its own two-byte load address, low byte first. Returns how many
 * were taken. Fewer than len: the disk is full (status 72). Only for write
 * handles. */
int di_write(DiFile *file, const void *src, int len);
/* Ends the handle. A write handle writes its last block and marks the file
 * closed; with no room for the last block it drops those bytes, leaves the
 * file unclosed and sets status 72. */
void di_close(DiFile *file);

/* ---- Whole-disk operations --------------------------------------------- */

/* Builds an empty file system. With an id (2 bytes) every byte is cleared
 * first (a full format; error information reads "no error" afterwards);
 * without (null) only the BAM, header and first directory block are written.
 * Returns and sets status 0. */
int di_format(DiImage *image, const unsigned char *rawname, const unsigned char *id);
/* Scratches every file of the type (1-3) whose name matches the raw pattern.
 * Returns and sets 1 (track = number scratched), 62 none matched, or 64 bad
 * type. */
int di_delete(DiImage *image, const unsigned char *rawpattern, int type);
/* Gives the first file of the type that matches the raw pattern the new raw
 * name. Returns and sets 0, or 62 when no file matches. */
int di_rename(DiImage *image, const unsigned char *rawpattern, const unsigned char *newrawname,
              int type);

#ifdef __cplusplus
}
#endif

#endif /* DISKIMAGE_DISKIMAGE_H */
