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

#include "diskimage/version.h"

/* Marks what the library exports; it is built with everything else hidden. */
#if defined(__GNUC__) || defined(__clang__)
#define DI_API __attribute__((visibility("default")))
#else
#define DI_API
#endif

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
DI_API extern const char *const ftype[8];

/* ---- Geometry ---------------------------------------------------------- */

/* Number of tracks: 35, 70, 80; 0 for any other kind. */
DI_API int di_tracks(ImageType type);
/* Sectors of a track: 17 to 21 by zone (D64; D71 per side), 40 (D81), 0 for
 * any other kind. No range test is made on track. */
DI_API int di_sectors_per_track(ImageType type, int track);
/* 1 when ts addresses an existing block of the kind, else 0. */
DI_API int di_ts_is_valid(ImageType type, TsPair ts);
/* Address of block ts inside image->blocks. Writing through it changes the
 * image; the writer sets `dirty`. ts must be valid: an invalid pair prints
 * the internal range error line on standard output and ends the process with
 * status 255. Check links read from a disk with di_ts_is_valid() first. */
DI_API unsigned char *di_get_ts_addr(DiImage *image, TsPair ts);

/* ---- Image container --------------------------------------------------- */

/* Loads the whole file. Returns a new image (status 254, dirty 0) or null
 * when the file cannot be opened or read, is not a regular file or block
 * device, or its size is not one of the six image sizes. Sets no status; on
 * null, errno says why: as open() or read() left it (ENOENT, EACCES, ...),
 * EISDIR for a directory, EINVAL for any other file that is no regular file
 * or block device and for a size that is none of the six, EIO for a file
 * that ended before its size, ENOMEM when memory ran out. */
DI_API DiImage *di_load_image(const char *path);
/* New all-zero, unformatted image of size bytes (one of the six sizes) that
 * will be written to path; dirty 1. Null for any other size (errno EINVAL)
 * or when memory ran out (ENOMEM). */
DI_API DiImage *di_create_image(const char *path, int size);
/* Writes the whole buffer to path through a temporary file that replaces it
 * only when complete. On success dirty becomes 0; on any failure the old file
 * is untouched and dirty stays 1. Sets no status. */
DI_API void di_sync(DiImage *image);
/* Writes the image back if dirty, then releases it. Close handles first.
 * A null image is a harmless no-op. */
DI_API void di_free_image(DiImage *image);

/* ---- Status ------------------------------------------------------------ */

/* Writes the status string "%02d,message,%02d,%02d" (at most 47 characters
 * and a zero byte; buffer must hold DI_STATUS_SIZE, 48) and returns the code,
 * or 73 with the drive's power-on message while the status is 254 (fresh
 * image). */
DI_API int di_status(DiImage *image, char *buffer);
/* The drive's message for a status code, as di_status() writes it:
 * "read error (crc error in data block)" for 23, "ok" for 0, and
 * "unknown error" for any code the drive has no message for. A static
 * string; never null. */
DI_API const char *di_status_message(int code);
/* Drive status code recorded for block ts in the error information: 0 for no
 * error (and for every block of an image without the table), 20-29 or 74 for
 * a recorded error, -1 for a byte that names no known error. ts must be valid. */
DI_API int di_get_ts_err(DiImage *image, TsPair ts);

/* ---- BAM --------------------------------------------------------------- */

/* First directory block: 18/1 on D64 and D71; the header's link on D81. */
DI_API TsPair di_get_dir_ts(DiImage *image);
/* Address of the 16-byte disk name in the header block; the id, 0xA0 and the
 * DOS type follow 18 bytes after it. */
DI_API unsigned char *di_title(DiImage *image);
/* Free count of a track (1 to di_tracks) as stored in the BAM, 0-255. */
DI_API int di_track_blocks_free(DiImage *image, int track);
/* 1 when the BAM marks valid block ts free, else 0. */
DI_API int di_is_ts_free(DiImage *image, TsPair ts);
/* Marks valid block ts used (count - 1, bit cleared), without testing it. */
DI_API void di_alloc_ts(DiImage *image, TsPair ts);
/* Marks valid block ts free (count + 1, bit set), without testing it. */
DI_API void di_free_ts(DiImage *image, TsPair ts);

/* ---- Names ------------------------------------------------------------- */

/* Fills raw[0..15] with 0xA0 and copies up to 16 characters of name into it,
 * byte for byte: a raw name is PETSCII. Pass upper-case ASCII for an ordinary
 * name: PETSCII shows 0x41-0x5A as unshifted letters, which kestrix lists in
 * lower case ("HELLO" lists as "hello"), while lower-case ASCII, 0x61-0x7A,
 * is shifted letters and lists in upper case. Returns the number copied.
 * Writes no terminator. */
DI_API int di_rawname_from_name(unsigned char *raw, const char *name);
/* Copies raw up to its first 0xA0 (at most 16 bytes) into name and ends it
 * with a zero byte; name must hold 17 bytes. Returns the number copied. */
DI_API int di_name_from_rawname(char *name, const unsigned char *raw);

/* ---- Files ------------------------------------------------------------- */

/* Opens a file. name is "$" (the directory, mode "rb") or a 16-byte raw name
 * (a pattern with '*' and '?' when reading); type is the file type (bits 0-2
 * of the slot's type byte). mode is "rb" or "wb". Returns a handle and status
 * 0, or null with the status saying why: 255 (bad mode, no memory), 62 not
 * found, 66 illegal first block or link, -1 empty first block, 63 file exists
 * and 72 disk full (writing). */
DI_API DiFile *di_open(DiImage *image, const unsigned char *name, int type, const char *mode);
/* Reads up to len bytes along the chain into dst; returns how many. Fewer
 * than len: end of file (status unchanged) or a stop: the block's error code,
 * 66 at an illegal link (every further read returns 0 with 66 again). A block
 * entered a second time sets 52 and reading goes on around the loop. */
DI_API int di_read(DiFile *file, void *dst, int len);
/* Appends len bytes, written as given: nothing is added, so a PRG file's data
 * starts with its own two-byte load address, low byte first. Returns how many
 * were taken. Fewer than len: the disk is full (status 72). Only for write
 * handles. */
DI_API int di_write(DiFile *file, const void *src, int len);
/* Ends the handle. A write handle writes its last block and marks the file
 * closed; with no room for the last block it drops those bytes, leaves the
 * file unclosed and sets status 72. */
DI_API void di_close(DiFile *file);

/* ---- Whole-disk operations --------------------------------------------- */

/* Builds an empty file system. With an id (2 bytes) every byte is cleared
 * first (a full format; error information reads "no error" afterwards);
 * without (null) only the BAM, header and first directory block are written.
 * Returns and sets status 0. */
DI_API int di_format(DiImage *image, const unsigned char *rawname, const unsigned char *id);
/* Scratches every file of the type (1-3) whose name matches the raw pattern.
 * Returns and sets 1 (track = number scratched), 62 none matched, or 64 bad
 * type. */
DI_API int di_delete(DiImage *image, const unsigned char *rawpattern, int type);
/* Gives the first file of the type that matches the raw pattern the new raw
 * name. Returns and sets 0, or 62 when no file matches. */
DI_API int di_rename(DiImage *image, const unsigned char *rawpattern,
                     const unsigned char *newrawname, int type);

/* ---- Directory listing ------------------------------------------------- */

/* Bits of a slot's type byte besides the file type (bits 0-2). */
enum { DI_TYPE_MASK = 0x07, DI_LOCKED = 0x40, DI_CLOSED = 0x80 };

/* Raw error-information byte of valid block ts: 1 means no error, and 1 is
 * also the answer for every block of an image without the table. */
DI_API int di_get_ts_error_byte(DiImage *image, TsPair ts);

/* One used slot of the directory, as a listing sees it. */
typedef struct DiDirEntry {
  FileEntry slot; /* copy; bytes the directory read did not deliver read 0
                     (slot 0's link, the tail of a short last block) */
  TsPair block;   /* the directory block it came from */
  int index;      /* its place in that block, 0-7 */
} DiDirEntry;

/* Walks the directory pseudo-file "$" as the drive lists it: the header
 * block, then each directory block in chain order, handing out the slots
 * whose type byte is not 0. Owned by the caller (on the stack is fine);
 * all fields are the reader's own. */
typedef struct DiDirReader {
  DiImage *image;
  DiFile *dir;             /* the open "$" handle, or null */
  unsigned char data[254]; /* data of the current block; 0 past `got` */
  int got;                 /* bytes the last read of a block delivered */
  int next;                /* next slot of the block to look at, 0-8 */
  int header_failed;       /* 1 when di_dir_read_header() failed */
  int ended;               /* 1 when no further slot will come */
  int stop;                /* status code that ended the directory early, or 0 */
} DiDirReader;

/* Opens "$" for reading. Returns 1 (status 0), or 0 with the status of the
 * failed open; the reader then needs no di_dir_close(). */
DI_API int di_dir_open(DiImage *image, DiDirReader *reader);
/* Reads the header block; call it once, before di_dir_next(). Returns 1, or 0 when it could not be
 * read: its error code and block are then the image's status. */
DI_API int di_dir_read_header(DiDirReader *reader);
/* Fills entry with the next used slot and returns 1; returns 0 when the
 * directory has ended. `stop` is then 0 for a normal end (a last block, or
 * after a failed header read), else the status code left by the read that
 * ended it early: a block passed a second time (52), a block whose error
 * information reports an error, a link to a block that does not exist (66)
 * or a link of 0/0 (-1). The image's status then gives its text. The status
 * is read after each block; a caller resets it to 0 between slots. */
DI_API int di_dir_next(DiDirReader *reader, DiDirEntry *entry);
/* Closes the "$" handle, if open. */
DI_API void di_dir_close(DiDirReader *reader);

/* ---- Integrity check --------------------------------------------------- */

/* Who owns a block: a file's index in the listing (0 = first listed), or
 * one of these. */
enum { DI_OWNER_NONE = -3, DI_OWNER_SYSTEM = -2, DI_OWNER_DIRECTORY = -1 };

/* Which walk of a file a problem was found on. */
enum { DI_PART_NONE, DI_PART_DATA, DI_PART_RECORD, DI_PART_SIDE_SECTORS, DI_PART_INFO };

enum {
  DI_PROBLEM_DIR_LINK,         /* BAM block does not link to the first directory
                                  block: expected, link (found) */
  DI_PROBLEM_DIRECTORY,        /* listing stopped early: status, DiCheck.dir_status_text */
  DI_PROBLEM_UNCLOSED,         /* file: type byte without the closed bit */
  DI_PROBLEM_ILLEGAL_FIRST,    /* file, part, record: the walk's start `link` is no block */
  DI_PROBLEM_BAD_LINK,         /* file, part, record: `block` links to `link`, no block */
  DI_PROBLEM_LOOP,             /* file, part, record: the walk came back to `block` */
  DI_PROBLEM_COUNT_MISMATCH,   /* file: slot's count `stated` vs blocks owned `counted` */
  DI_PROBLEM_SHARED,           /* block: owner, second_owner, owner_count (2 or more) */
  DI_PROBLEM_USED_BUT_FREE,    /* block: owned (owner) but free in the BAM */
  DI_PROBLEM_ALLOCATED_UNUSED, /* block: in use in the BAM, no owner, not reserved */
  DI_PROBLEM_DAMAGED,          /* block: owned (owner), error byte `error` is not 1 */
  DI_PROBLEM_BAM_COUNT         /* track (block.track): stored free count `stated`
                                  vs bitmap bits set `counted` */
};

typedef struct DiProblem {
  int kind;         /* DI_PROBLEM_* */
  int file;         /* index of the listed file concerned, or -1 */
  int part;         /* DI_PART_* of the walk problems, else DI_PART_NONE */
  int record;       /* DI_PART_RECORD: index in the record list (0-126), else -1 */
  TsPair block;     /* the block concerned (track only for DI_PROBLEM_BAM_COUNT) */
  TsPair link;      /* the link that is no block / was found */
  TsPair expected;  /* DI_PROBLEM_DIR_LINK: the first directory block */
  int owner;        /* first owner, see DI_OWNER_* */
  int second_owner; /* DI_PROBLEM_SHARED */
  int owner_count;  /* DI_PROBLEM_SHARED */
  int stated;
  int counted;
  int error;  /* DI_PROBLEM_DAMAGED: the raw error byte */
  int status; /* DI_PROBLEM_DIRECTORY: the status code */
} DiProblem;

/* What the check found out about one block. */
typedef struct DiBlockState {
  TsPair ts;
  int in_use;       /* the BAM marks it used (di_is_ts_free() says 0) */
  int reserved;     /* kept by the drive, never a file's (D71 track 53 but 53/0) */
  int error;        /* raw error byte, 1 = no error */
  int owner;        /* first owner in the order system, directory, files */
  int second_owner; /* DI_OWNER_NONE when fewer than two */
  int owner_count;  /* how many owners */
} DiBlockState;

typedef struct DiCheck {
  int file_count;
  DiDirEntry *files; /* the listed slots in listing order */
  int *file_blocks;  /* distinct blocks each file owns */
  int block_count;
  DiBlockState *blocks; /* every block in track/sector order */
  int problem_count;
  DiProblem *problems;                  /* in report order */
  char dir_status_text[DI_STATUS_SIZE]; /* status string of a DI_PROBLEM_DIRECTORY, else "" */
} DiCheck;

/* Examines the image as the listing reads it: the directory, the chains of
 * every listed file (data; for REL files the side sectors; for GEOS files
 * the info block and, for VLIR files, each record chain), who owns each
 * block, the BAM against those owners and the error information. Changes
 * nothing in the image: no byte, no `dirty`, and its status is restored.
 * Every chain is walked with its own visited set; the cost and the memory
 * grow with the blocks and slots of the image, not with its content. A
 * record list shared by several files reports its record problems once, on
 * the first of them (the others show as shared blocks), so the problems are
 * bounded by a few per block and per slot. Returns null when out of
 * memory, or for an image of no known kind; release with di_check_free(). */
DI_API DiCheck *di_check(DiImage *image);
/* Releases a check; null is a harmless no-op. */
DI_API void di_check_free(DiCheck *check);

#ifdef __cplusplus
}
#endif

#endif /* DISKIMAGE_DISKIMAGE_H */
