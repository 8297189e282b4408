/*
 * diskimage: read and write Commodore 1541, 1571 and 1581 disk images
 * (D64, D71, D81, each with or without a trailing error-information table),
 * and read the raw GCR dumps of 1541 and 1571 disks (G64, G71).
 *
 * A C interface: plain records, null results, short counts and a drive-style
 * status kept in the image. Nothing here throws, and nothing here prints,
 * except the internal range error described at di_get_ts_addr().
 *
 * Ownership: the caller owns a DiImage from di_load_image(),
 * di_load_image_from_memory() or di_create_image() until di_free_image().
 * Block addresses, FileEntry pointers and read handles point into the
 * image's buffer, so the image must outlive them. A DiFile is owned by its
 * opener until di_close(); a DiListing and a DiCheck by their caller until
 * di_listing_free() and di_check_free().
 *
 * Threads: an image is used by one thread at a time. Different images may be
 * used by different threads at once.
 *
 * Preconditions that hold for every call unless its comment says otherwise:
 * image, file and listing pointers are not null and come from this library;
 * a raw name or pattern is 16 bytes (see di_rawname_from_name()); buffers
 * hold the bytes the call says it reads or writes. Values from the disk
 * itself are never a precondition: a call given a track or block from a
 * damaged image reports it through the status, except di_get_ts_addr(),
 * which needs a valid block.
 */
#ifndef DISKIMAGE_DISKIMAGE_H
#define DISKIMAGE_DISKIMAGE_H

#include "diskimage/version.h"

/* Marks what the library exports; everything else stays inside it. */
#if defined(__GNUC__) || defined(__clang__)
#define DI_API __attribute__((visibility("default")))
#else
#define DI_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Version ----------------------------------------------------------- */

/* The version the library was built as, DI_VERSION of its own header: a
 * program can compare it with the DI_VERSION it was compiled with. */
DI_API const char *di_version(void);

/* ---- Kinds, sizes, blocks ---------------------------------------------- */

/* Image kind. An int, so that any value can be passed: values other than
 * these have no tracks and no valid blocks. D64_40 and D64_42 are D64s of 40
 * and 42 tracks, as 1541s with an extended DOS, copy protections and test
 * disks write them: tracks 36 and up hold 17 sectors each, and everything
 * else is as on a D64. A program that handles any D64 tests for all three;
 * di_tracks() tells them apart. */
typedef int ImageType;
enum { D64 = 1, D71 = 2, D81 = 3, D64_40 = 4, D64_42 = 5 };

/* The image file sizes: 256 bytes a block, and with error information one
 * more byte a block (683, 1366, 3200, 768 and 802 blocks). The size alone
 * tells the kind of a loaded image. */
enum {
  DI_D64_SIZE = 174848,
  DI_D64_ERR_SIZE = 175531,
  DI_D71_SIZE = 349696,
  DI_D71_ERR_SIZE = 351062,
  DI_D81_SIZE = 819200,
  DI_D81_ERR_SIZE = 822400,
  DI_D64_40_SIZE = 196608,
  DI_D64_40_ERR_SIZE = 197376,
  DI_D64_42_SIZE = 205312,
  DI_D64_42_ERR_SIZE = 206114
};

/* Track/sector address. Tracks count from 1, sectors from 0; track 0 means
 * "no block" and ends a chain. */
typedef struct TsPair {
  unsigned char track;
  unsigned char sector;
} TsPair;

/* A block: bytes 0 and 1 link to the next block of its chain (track, then
 * sector); bytes 2 to 255 carry data. In the last block the link's track is
 * 0 and its sector byte is the number of data bytes plus 1. A directory
 * block holds eight 32-byte slots (FileEntry), slot 0 over the link. */
enum {
  DI_BLOCK_SIZE = 256,
  DI_LINK_TRACK = 0,
  DI_LINK_SECTOR = 1,
  DI_DATA_START = 2,
  DI_DATA_SIZE = 254,
  DI_SLOT_SIZE = 32,
  DI_SLOTS_PER_BLOCK = 8
};

/* Number of tracks: 35, 70, 80, 40, 42; 0 for any other kind. */
DI_API int di_tracks(ImageType type);
/* Sectors of a track: 17 to 21 by zone (the D64s; D71 per side, a track above
 * 35 counting as track - 35), 40 (D81), 0 for any other kind. No range test
 * is made on track: D64 track 0 has 21 sectors and track 40 has 17. */
DI_API int di_sectors_per_track(ImageType type, int track);
/* 1 when ts addresses an existing block of the kind, else 0. */
DI_API int di_ts_is_valid(ImageType type, TsPair ts);

/* ---- Images ------------------------------------------------------------ */

/* One disk image held wholly in memory. Programs may read every field;
 * the library keeps them consistent, so write only `status` (to reset it). */
typedef struct DiImage {
  char *path;                /* owned copy of the file name; di_sync() writes here */
  int size;                  /* one of the image sizes: of the file, or of what a
                                raw dump decoded to (see di_file_size()) */
  ImageType type;            /* D64, D71, D81, D64_40 or D64_42, told by size
                                (a raw dump's by what it decodes to) */
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

/* Loads the whole file. Returns a new image (status 254, dirty 0) or null
 * when the file cannot be opened or read, is not a regular file or block
 * device, or its size is not one of the image sizes. A file of any other
 * size that starts with the signature of a raw dump ("GCR-1541", "GCR-1571")
 * is decoded instead: see "Raw dumps" below. (A file of an image's size is
 * that image, whatever its first bytes.) Sets no status; on null, errno
 * says why: as open() or read() left it (ENOENT, EACCES, ...), EISDIR for a
 * directory, EINVAL for any other file that is no regular file or block
 * device, for a size that is none of them and for a raw dump that fails its
 * checks, EIO for a file that ended before its size, ENOMEM when memory ran
 * out. */
DI_API DiImage *di_load_image(const char *path);
/* As di_load_image() of a file holding the size bytes at bytes, which are
 * copied (or decoded): the image does not keep the caller's buffer. path is
 * only the name di_sync() would write to; nothing touches the file system.
 * Null (errno EINVAL) for a size that is none of the image sizes or a raw
 * dump that fails its checks, or ENOMEM. */
DI_API DiImage *di_load_image_from_memory(const char *path, const void *bytes, long size);
/* New all-zero, unformatted image of size bytes that will be written to
 * path; dirty 1. The size is one of the six of a D64, D71 or D81: the
 * library reads D64s of 40 and 42 tracks but does not make them. Null for
 * any other size (errno EINVAL) or when memory ran out (ENOMEM). */
DI_API DiImage *di_create_image(const char *path, int size);
/* Writes the whole buffer to path through a temporary file that replaces it
 * only when complete. On success dirty becomes 0; on any failure the old file
 * is untouched and dirty stays 1. Sets no status, except on an image that is
 * read-only for write-back (di_image_read_only()): there it leaves the file
 * alone, keeps dirty and sets status 26 (write protect on) with 0/0. */
DI_API void di_sync(DiImage *image);
/* Writes the image back if dirty, then releases it: an image that is
 * read-only for write-back is never written. Close handles first. A null
 * image is a harmless no-op. */
DI_API void di_free_image(DiImage *image);
/* Writes the image in its plain form (the size bytes of `blocks`: a D64, D71
 * or D81, with the error table when it has one) to path, which must not
 * exist: through a temporary file beside it that is put in place only when
 * complete and only if path still does not exist. Returns 0, or -1 with
 * errno as the file system left it (EEXIST when path exists, even as a
 * dangling symbolic link); a failure leaves nothing behind. Changes nothing
 * in the image: not dirty, not the status, not path. */
DI_API int di_save_new(const DiImage *image, const char *path);

/* The file format an image came from (di_image_format()). A D64 of 40 or 42
 * tracks is DI_FORMAT_D64; an image made by di_create_image() has the format
 * of its kind. */
enum {
  DI_FORMAT_D64 = 1,
  DI_FORMAT_D71 = 2,
  DI_FORMAT_D81 = 3,
  DI_FORMAT_G64 = 4, /* raw dump of a 1541 disk, decoded to a D64 */
  DI_FORMAT_G71 = 5  /* raw dump of a 1571 disk, decoded to a D71 */
};
DI_API int di_image_format(const DiImage *image);
/* Size of the file as it was read: for a raw dump the dump's bytes, not the
 * decoded image's (which `size` holds); for a created image `size`. */
DI_API long di_file_size(const DiImage *image);
/* 1 when di_sync() will not write the image back: an image decoded from a
 * raw dump, for which there is no GCR writer. di_save_new() still writes it. */
DI_API int di_image_read_only(const DiImage *image);
/* The bytes of the image file as they were last read or written (by
 * di_load_image(), di_load_image_from_memory() or di_sync()), for hashing or
 * copying the file whole: a pointer into the image, valid while it stays
 * unchanged, and their count in *size. For a raw dump the dump's own bytes,
 * always. Null with *size 0 once any other image has changed (dirty 1), as
 * after di_create_image(). */
DI_API const unsigned char *di_image_bytes(const DiImage *image, long *size);

/* ---- Raw dumps ---------------------------------------------------------- */
/*
 * A G64 (signature "GCR-1541") or G71 ("GCR-1571") holds every track of a
 * disk as the GCR bit stream a drive's head reads. Loading one decodes every
 * sector as a 1541 or 1571 would and gives the image it decodes to: `type`
 * D64, D64_40 or D64_42 for a G64 (35 tracks, or 40 or 42 when a header for
 * a track from 36 to 40, or 41 or 42, is found on that track), D71 for a
 * G71, always with error information, and read-only for write-back.
 *
 * The container: the signature, a version byte, at byte 9 the number of
 * track entries N (at most 84 for a G64, 168 for a G71), at 10 the largest
 * track size (a hint only), at 12 N offsets of 32 bits, low byte first. An
 * offset of 0 is no track; otherwise the track's 16-bit length (low byte
 * first) and its bytes follow there. Entry 2(t - 1) is track t, odd entries
 * are half-tracks and are not read; in a G71 track t of side 2 is entry
 * 84 + 2(t - 36). A dump loads only if the file is at most DI_RAW_MAX_SIZE
 * bytes and every entry, with its length bytes and its track bytes, lies in
 * the file.
 *
 * Each track is a circular bit stream, most significant bit first, walked at
 * most twice round from its first bit. A sync is 10 or more one-bits (those
 * at the end of the track count into one that wraps over the start); the
 * bits from the first zero-bit after it are 5-bit GCR codes, two to a byte,
 * an invalid code reading as nybble 0. A header block is 8 bytes from 10 GCR
 * bytes starting 0x08: checksum (the XOR of the next four), sector, track,
 * second and first ID byte. The first header met with a sector's number and
 * the track's number decides; its data block is the block after the next
 * sync past the header's 10 GCR bytes: 0x07, 256 bytes, their XOR, two more
 * bytes (325 GCR bytes). The disk ID is the ID of the
 * header that decides 18/0. Each sector's error byte, first match wins:
 *   3  (21) the track has no entry or no sync (a track of one-bits has none)
 *   2  (20) no header for the sector
 *   9  (27) the header's checksum is wrong
 *   11 (29) the header's ID is not the disk ID (only when that was found)
 *   4  (22) the data block does not start with 0x07
 *   5  (23) its checksum is wrong, or an invalid code lies in its 325 bytes
 *   1       otherwise.
 * Sectors with 1 or 5 hold the decoded bytes, all others 256 zero bytes.
 */
enum { DI_RAW_MAX_SIZE = 2097152, DI_REASON_SIZE = 80 };
/* Why di_load_image() refused the file at path as a raw dump: when the file
 * starts with a raw dump's signature, writes the reason into reason (which
 * must hold DI_REASON_SIZE bytes), for example "track 5 lies past the end of
 * the file", or "" when the dump passes its checks, and returns
 * DI_FORMAT_G64 or DI_FORMAT_G71. Returns 0 with "" for any other file and
 * for one that cannot be read. Reads at most DI_RAW_MAX_SIZE bytes. */
DI_API int di_raw_problem(const char *path, char *reason);

/* Address of block ts inside image->blocks. Writing through it changes the
 * image; the writer sets `dirty`. ts must be valid: an invalid pair prints
 * the internal range error line on standard output and ends the process with
 * status 255. Check links read from a disk with di_ts_is_valid() first. */
DI_API unsigned char *di_get_ts_addr(DiImage *image, TsPair ts);

/* ---- Status ------------------------------------------------------------ */

/* Status codes the library sets, as the drive numbers them. 20 to 29 and 74
 * come from a block's error information. The track and sector of the status
 * name the block concerned (for 1, the number of files scratched). */
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
  DI_STATUS_ILLEGAL_TS = 66, /* a link, first block or argument that names no block */
  DI_STATUS_DISK_FULL = 72,
  DI_STATUS_DOS_MISMATCH = 73, /* what di_status() returns for a fresh image */
  DI_STATUS_DRIVE_NOT_READY = 74,
  DI_STATUS_FRESH = 254,  /* the status field of a fresh image */
  DI_STATUS_FAILED = 255, /* di_open() failed for another reason */
  DI_STATUS_UNKNOWN = -1  /* an empty last block, or an unknown error byte */
};

/* Bytes a status buffer must hold. */
enum { DI_STATUS_SIZE = 48 };

/* A status as a record: what the image's status and status_ts fields hold,
 * kept by the listing for each file. */
typedef struct DiStatus {
  int code;
  TsPair ts;
} DiStatus;

/* Writes the image's status string "%02d,message,%02d,%02d" (at most 47
 * characters and a zero byte; buffer must hold DI_STATUS_SIZE) and returns
 * the code, or 73 with the drive's power-on message while the status is 254
 * (fresh image). Changes nothing. */
DI_API int di_status(const DiImage *image, char *buffer);
/* The same for any status of an image of the kind: the string di_status()
 * would write if the image's status were code with ts. The kind only chooses
 * the power-on message of 254 (empty for no kind). Returns as di_status(). */
DI_API int di_status_text(ImageType type, int code, TsPair ts, char *buffer);
/* The drive's message for a status code, as di_status() writes it:
 * "read error (crc error in data block)" for 23, "ok" for 0, and
 * "unknown error" for any code the drive has no message for. A static
 * string; never null. */
DI_API const char *di_status_message(int code);

/* ---- Error information ------------------------------------------------- */

/* Raw error-information byte of block ts, 0 to 255: 1 means no error, and 1
 * is also the answer for every block of an image without the table. For a
 * block that does not exist: -1, with status 66 naming it. */
DI_API int get_ts_doserr(DiImage *image, TsPair ts);
/* Drive status code that block ts's error byte stands for, as
 * di_error_code() gives it; 0 for every block of an image without the table.
 * For a block that does not exist: 66, as the drive would say, with status
 * 66 naming it. */
DI_API int di_get_ts_err(DiImage *image, TsPair ts);
/* Drive status code an error-information byte stands for: 0 for 1 (no
 * error), 20-29 or 74 for a recorded error, -1 for a byte that names no
 * known error (0, 12-14, 16-255) and for a value outside 0-255. */
DI_API int di_error_code(int error_byte);

/* ---- BAM --------------------------------------------------------------- */
/*
 * Queries and changes of the block availability map. The calls that take a
 * track or a block check it first: given one that does not exist on the
 * image, they touch nothing, set status 66 with the track and sector given,
 * and return 0.
 */

/* First directory block: 18/1 on D64 and D71, whatever the BAM block's link
 * says; the header's link on D81 (0/0 when it has none). */
DI_API TsPair di_get_dir_ts(const DiImage *image);
/* Address of the 16-byte disk name in the header block; the id, 0xA0 and the
 * DOS type follow 18 bytes after it. */
DI_API unsigned char *di_title(DiImage *image);
/* Address and length (*size) of the free tail of the BAM block that may hold
 * a message (bytes 171-255 of 18/0 on D64 and D71, where on D71 the side-2
 * counts from byte 221 on end any text); null with *size 0 on D81, whose BAM
 * has no such room. */
DI_API const unsigned char *di_bam_message_area(const DiImage *image, int *size);
/* Where the BAM keeps tracks 36 to 40 of a D64 of 40 or 42 tracks, which
 * the standard BAM has no room for (di_bam_layout()). Extended DOSes keep a
 * free count and three bitmap bytes per track in the BAM block: from byte
 * 0xC0 (the SpeedDOS layout) when any of bytes 0xC0-0xD3 is not zero, else
 * from byte 0xAC (the DolphinDOS layout) when any of bytes 0xAC-0xBF is not
 * zero and the disk is no GEOS disk ("GEOS format" at byte 0xAD). Otherwise,
 * and always for tracks 41 and 42, they are outside the BAM: neither free nor
 * in use. */
enum { DI_BAM_STANDARD, DI_BAM_SPEEDDOS, DI_BAM_DOLPHINDOS, DI_BAM_NONE };
/* DI_BAM_STANDARD for every D64 of 35 tracks, D71 and D81; for a D64 of 40
 * or 42 tracks the layout its BAM block holds now, or DI_BAM_NONE. */
DI_API int di_bam_layout(const DiImage *image);
/* 1 when the BAM keeps the track (1 to di_tracks), 0 when it lies outside. */
DI_API int di_track_in_bam(DiImage *image, int track);
/* Free count of a track (1 to di_tracks) as stored in the BAM, 0-255; 0 for
 * a track outside the BAM. */
DI_API int di_track_blocks_free(DiImage *image, int track);
/* 1 when the BAM marks block ts free, else 0 (also outside the BAM). */
DI_API int di_is_ts_free(DiImage *image, TsPair ts);
/* Marks block ts used (count - 1, bit cleared) without testing it; dirty 1.
 * Outside the BAM nothing changes. */
DI_API void di_alloc_ts(DiImage *image, TsPair ts);
/* Marks block ts free (count + 1, bit set) without testing it; dirty 1.
 * Outside the BAM nothing changes. */
DI_API void di_free_ts(DiImage *image, TsPair ts);

/* ---- Directory slots and names ----------------------------------------- */

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

/* Bits of a slot's type byte besides the file type (bits 0-2). */
enum { DI_TYPE_MASK = 0x07, DI_LOCKED = 0x40, DI_CLOSED = 0x80 };

/* A raw name: 16 bytes, the name padded with 0xA0. */
enum { DI_NAME_SIZE = 16, DI_NAME_PAD = 0xA0 };

/* File type names by bits 0-2 of the type byte (DI_FT_DEL to DI_FT_UNKNOWN):
 * "del", "seq", "prg", "usr", "rel", "cbm", "dir", "???". */
DI_API extern const char *const ftype[8];

/* One 32-byte directory slot, in place inside the image buffer. */
typedef struct FileEntry {
  unsigned char link[2];     /* slot 0: the directory block's link; else unused */
  unsigned char type;        /* bits 0-2 file type, 0x40 locked, 0x80 closed; 0 = free */
  TsPair first_ts;           /* first data block; track 0 = no block */
  unsigned char rawname[16]; /* name padded with 0xA0 */
  unsigned char unused[9];   /* REL: side sectors (21-22), record length (23);
                                GEOS: info block (21-22), structure (23), type (24) */
  unsigned char blocks[2];   /* block count, low byte first */
} FileEntry;

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

/* Opens a file. name is "$" (the directory, mode "rb") or a 16-byte raw name
 * (a pattern with '*' and '?' when reading: the first slot in directory
 * order of the type that matches); type is the file type (bits 0-2 of the
 * slot's type byte). mode is "rb" or "wb". Returns a handle and status 0, or
 * null with the status saying why: 255 (bad mode, no memory), 62 not found,
 * 66 illegal first block or link, -1 empty first block, 63 file exists and
 * 72 disk full (writing). */
DI_API DiFile *di_open(DiImage *image, const unsigned char *name, int type, const char *mode);
/* Reads up to len bytes along the chain into dst; returns how many. Fewer
 * than len: end of file (status unchanged) or a stop: the block's error code,
 * 66 at an illegal link (every further read returns 0 with 66 again). A block
 * entered a second time sets 52 and reading goes on around the loop. A write
 * handle reads nothing. */
DI_API int di_read(DiFile *file, void *dst, int len);
/* Appends len bytes, written as given: nothing is added, so a PRG file's data
 * starts with its own two-byte load address, low byte first. Returns how many
 * were taken. Fewer than len: the disk is full (status 72). A read handle
 * takes nothing. */
DI_API int di_write(DiFile *file, const void *src, int len);
/* Ends the handle; null is a harmless no-op. A write handle writes its last
 * block and marks the file closed; with no room for the last block it drops
 * those bytes, leaves the file unclosed and sets status 72. */
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

/* ---- Reading the directory --------------------------------------------- */
/*
 * The directory pseudo-file "$" read as the drive lists it, one used slot at
 * a time. The protocol:
 *
 *   DiDirReader reader;
 *   DiDirEntry entry;
 *   if (di_dir_open(image, &reader)) {          (else: the image's status)
 *     if (!di_dir_read_header(&reader)) ...      (the header's status)
 *     while (di_dir_next(&reader, &entry)) ...   (each used slot, in order)
 *     if (reader.stop) ...                       (the directory ended early)
 *     di_dir_close(&reader);
 *   }
 *
 * The reader holds a "$" read handle while open and sets the image's status
 * as reading does; the image must not change while it is open.
 */

/* One used slot of the directory, as a listing sees it. */
typedef struct DiDirEntry {
  FileEntry slot; /* copy; bytes the directory read did not deliver read 0
                     (slot 0's link, the tail of a short last block) */
  TsPair block;   /* the directory block it came from */
  int index;      /* its place in that block, 0-7 */
} DiDirEntry;

/* The reader's state; owned by the caller (on the stack is fine). All
 * fields are the reader's own. */
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
/* Reads the header block; call it once, before di_dir_next(). Returns 1, or
 * 0 when it could not be read: its error code and block are then the
 * image's status, and no slot will follow. */
DI_API int di_dir_read_header(DiDirReader *reader);
/* Fills entry with the next used slot and returns 1; returns 0 when the
 * directory has ended. `stop` is then 0 for a normal end (a last block, or
 * after a failed header read), else the status code left by the read that
 * ended it early: a block passed a second time (52), a block whose error
 * information reports an error, a link to a block that does not exist (66)
 * or a link of 0/0 (-1). The image's status then gives its block. The status
 * is read after each block; a caller resets it to 0 between slots. */
DI_API int di_dir_next(DiDirReader *reader, DiDirEntry *entry);
/* Closes the "$" handle, if open. */
DI_API void di_dir_close(DiDirReader *reader);

/* ---- The listing ------------------------------------------------------- */

/* Bytes the listing reads of each file: 664 blocks of 256 bytes, more than a
 * D64 can give a file, so only longer files on a D71 or D81 are read in
 * part. */
enum { DI_SCAN_SIZE = 169984 };

/* One listed file and what reading it left (in a listing made with scan). */
typedef struct DiListedFile {
  DiDirEntry dir; /* the slot as the directory read gave it */
  int opened;     /* 1 when di_open() of its raw name and type succeeded */
  DiStatus scan;  /* the status the open left, or after it a di_read() of
                     DI_SCAN_SIZE bytes; code 0 when nothing went wrong */
} DiListedFile;

/* The directory as a drive lists it, with every file read along its chain:
 * the facts behind kestrix's -dir. A file is opened by its raw name and type
 * as stored, so a name holding '*' or '?' is matched as a pattern and the
 * first matching slot is the one read, as the drive would. */
typedef struct DiListing {
  int scanned;          /* each file's opened and scan are worked out */
  int free_blocks;      /* the free count kept with the image */
  int link_checked;     /* 1 on D64 and D71, which keep the directory link in
                           the BAM block; 0 on D81 */
  int link_broken;      /* the BAM block links elsewhere than the directory */
  TsPair link_expected; /* the first directory block */
  TsPair link_found;    /* the BAM block's link */
  int opened;           /* "$" opened; if 0, open_status says why and nothing
                           below is set */
  DiStatus open_status;
  unsigned char disk_name[16]; /* as stored, padded with 0xA0 */
  unsigned char disk_id[5];    /* id, 0xA0, DOS type, as stored */
  int header_read;             /* the header block was read; else header_status */
  DiStatus header_status;
  int file_count;
  DiListedFile *files; /* the used slots in listing order */
  int dir_block_count;
  TsPair *dir_blocks; /* the directory blocks read, in chain order */
  DiStatus stop;      /* what ended the directory early; code 0 for a normal end */
} DiListing;

/* Reads the directory and, with scan 1, works out every listed file's read;
 * with scan 0 each file's opened and scan stay 0 (the check needs only the
 * directory). Changes nothing in the image but its status (left 0) and
 * leaves no handle open. The cost grows with the blocks and slots of the
 * image, not with how chains share or loop. Null when out of memory or for
 * an image of no kind. */
DI_API DiListing *di_listing(DiImage *image, int scan);
/* Releases a listing; null is a harmless no-op. */
DI_API void di_listing_free(DiListing *listing);

/* ---- A file's data, read whole ------------------------------------------ */
/*
 * One directory slot's data read out whole, as extracting it to a file needs:
 * along the slot's own chain (never looked up by name), with the steps di_read
 * takes, but stopping where di_read would go on or give nothing: in front of
 * a block whose error byte is not 1, in front of a block that links to no
 * block, at a block the chain passed already, and at an empty last block. A
 * chain is read to its end however long; `limit` bounds what is delivered.
 */

/* How a slot's data is read (DiFileData.shape). */
enum {
  DI_DATA_CHAIN,    /* its chain from the slot's first block */
  DI_DATA_REL,      /* REL: the data chain (the records); side sectors are not read */
  DI_DATA_GEOS,     /* GEOS, sequential: the data chain, and the info block */
  DI_DATA_VLIR,     /* GEOS VLIR: each record's chain in list order, and the info block */
  DI_DATA_PARTITION /* CBM partition: the slot's block count from its first block, in
                       block order, 256 bytes each */
};

/* Bytes of a GEOS info block as read: the whole block, link bytes included. */
enum { DI_INFO_SIZE = 256 };

/* One record of a VLIR file, where it lies in DiFileData.data. */
typedef struct DiRecord {
  long offset;
  long size; /* 0 for an empty record, or one that could not be read */
} DiRecord;

/* What reading one slot's data gave; owned by the caller until
 * di_file_data_free(). */
typedef struct DiFileData {
  int shape;           /* DI_DATA_* */
  unsigned char *data; /* the bytes read, in order; null when none */
  long size;
  int blocks_read; /* blocks whose bytes are in data */
  int complete;    /* 1 when every read ended at its last block (a partition at
                      its count) with no error and no cut, and the info block,
                      if any, was read */
  DiStatus status; /* what stopped the first read that stopped early, as the
                      listing words a status: 66 with the link or first block
                      that names no block, 52 with a block passed before, the
                      error code of a damaged block, -1 with an empty last
                      block; code 0 when nothing did (a cut is not a status) */
  TsPair stop;     /* the block that read stopped at or in front of (for a
                      record pointer that names no block, the record list);
                      track 0 when no block of the file holds what stopped it:
                      a slot's info block naming no block, a partition
                      running off the disk */
  int cut;         /* 1 when `limit` ended the reading before its end */
  /* Blocks whose data is missing: each block a read stopped in front of,
   * each damaged block of a partition (its bytes are in data as they lie), an
   * info block that could not be read, and, where the limit cut, the first
   * block not read of each read it cut or left out. At most 130, or for a
   * partition one a block read. */
  int lost_count;
  TsPair *lost;
  int record_length; /* DI_DATA_REL: slot byte 23; else 0 */
  int record_count;  /* DI_DATA_VLIR: pairs of the record list up to its end */
  DiRecord *records; /* DI_DATA_VLIR: by record number; else null */
  TsPair info_ts;    /* DI_DATA_GEOS, DI_DATA_VLIR: slot bytes 21-22 */
  int info_read;     /* the info block was read into info */
  unsigned char info[DI_INFO_SIZE];
} DiFileData;

/* Reads the data of the file whose slot (a copy will do, such as
 * DiListedFile.dir.slot) is given, delivering at most `limit` bytes, the info
 * block's included; a block that would pass the limit is not read, and
 * neither is anything after it. A slot whose first block does not exist
 * gives no bytes and status 66. Changes nothing in the image, its status
 * included. Null when out of memory; release with di_file_data_free(). The
 * cost grows with the bytes delivered and the blocks passed (at most the
 * image's blocks per chain, 127 chains for a VLIR file). */
DI_API DiFileData *di_file_data(DiImage *image, const FileEntry *slot, long limit);
/* Releases what di_file_data() returned; null is a harmless no-op. */
DI_API void di_file_data_free(DiFileData *data);

/* ---- Integrity check --------------------------------------------------- */

/* Who owns a block: a file's index in the listing (0 = first listed), or
 * one of these. */
enum { DI_OWNER_NONE = -3, DI_OWNER_SYSTEM = -2, DI_OWNER_DIRECTORY = -1 };

/* What a block is, as the check sees it (DiBlockState.state). */
enum {
  DI_BLOCK_FREE,          /* free in the BAM, owned by no one */
  DI_BLOCK_FILE,          /* in use or outside the BAM, first owner a file */
  DI_BLOCK_DIRECTORY,     /* in use or outside the BAM, first owner the directory */
  DI_BLOCK_SYSTEM,        /* in use or outside the BAM, first owner the BAM or header */
  DI_BLOCK_UNUSED,        /* in use in the BAM, owned by no one */
  DI_BLOCK_RESERVED,      /* in use, kept by the drive (D71 track 53 but 53/0) */
  DI_BLOCK_USED_BUT_FREE, /* owned, but free in the BAM */
  DI_BLOCK_OUTSIDE_BAM,   /* owned by no one, on a track outside the BAM */
  DI_BLOCK_STATE_COUNT
};

/* What is wrong with a block (DiBlockState.marks, bits). */
enum {
  DI_MARK_DAMAGED = 1, /* owned, and its error byte is not 1 */
  DI_MARK_ERROR = 2,   /* owned by no one, and its error byte is not 1 */
  DI_MARK_SHARED = 4,  /* two or more owners */
  DI_MARK_BAM_FREE = 8 /* owned, but free in the BAM (never outside it) */
};
/* How many marks there are: bit i for i below this. */
enum { DI_MARK_COUNT = 4 };

/* Which walk of a file a problem was found on. */
enum { DI_PART_NONE, DI_PART_DATA, DI_PART_RECORD, DI_PART_SIDE_SECTORS, DI_PART_INFO };

enum {
  DI_PROBLEM_DIR_LINK,         /* BAM block does not link to the first directory
                                  block: expected, link (found) */
  DI_PROBLEM_DIRECTORY,        /* listing stopped early: status with its block */
  DI_PROBLEM_UNCLOSED,         /* file: type byte without the closed bit */
  DI_PROBLEM_ILLEGAL_FIRST,    /* file, part, record: the walk's start `link` is no block */
  DI_PROBLEM_BAD_LINK,         /* file, part, record: `block` links to `link`, no block */
  DI_PROBLEM_LOOP,             /* file, part, record: the walk came back to `block` */
  DI_PROBLEM_COUNT_MISMATCH,   /* file: slot's count `stated` vs blocks owned `counted` */
  DI_PROBLEM_SHARED,           /* block: owner, second_owner, owner_count (2 or more) */
  DI_PROBLEM_USED_BUT_FREE,    /* block: owned (owner) but free in the BAM */
  DI_PROBLEM_ALLOCATED_UNUSED, /* block: in use in the BAM, no owner, not reserved
                                  (never for a block outside the BAM) */
  DI_PROBLEM_DAMAGED,          /* block: owned (owner), error byte `error` is not 1 */
  DI_PROBLEM_BAM_COUNT,        /* track (block.track) in the BAM: stored free
                                  count `stated` vs bitmap bits set `counted` */
  DI_PROBLEM_ALIAS,            /* file (the head) and the other entries whose
                                  alias_of is it start at `block`; owner_count
                                  entries in all */
  DI_PROBLEM_KIND_COUNT
};

/* What a problem means for the data (DiProblem.severity). */
enum {
  DI_SEVERITY_NOTE, /* nothing is lost or at risk; worth knowing */
  DI_SEVERITY_RISK, /* everything reads today, but writing to the image or
                       validating it on a drive would destroy data */
  DI_SEVERITY_LOSS  /* some data of a file or of the directory cannot be read
                       as written */
};

/* What the problems make of an image (DiCheck.verdict): damaged when any is
 * a loss, else at risk when any is a risk, else intact. */
enum { DI_VERDICT_INTACT, DI_VERDICT_AT_RISK, DI_VERDICT_DAMAGED };

/* The severity of a kind of problem:
 *   loss: directory, illegal-first, bad-link, loop, damaged, shared (a block
 *         that two or more different owners reach);
 *   risk: used-but-free, bam-count, dir-link, unclosed (a drive's validate
 *         scratches such a file);
 *   note: count-mismatch, allocated-unused (blocks that loaders, CP/M and
 *         other file systems read directly), alias.
 * -1 for a value that is no kind of problem. */
DI_API int di_problem_severity(int kind);

typedef struct DiProblem {
  int kind;         /* DI_PROBLEM_* */
  int file;         /* index of the listed file concerned, or -1 */
  int part;         /* DI_PART_* of the walk problems, else DI_PART_NONE */
  int record;       /* DI_PART_RECORD: index in the record list (0-126), else -1 */
  TsPair block;     /* the block concerned (track only for DI_PROBLEM_BAM_COUNT;
                       DI_PROBLEM_DIRECTORY: the status's block) */
  TsPair link;      /* the link that is no block / was found */
  TsPair expected;  /* DI_PROBLEM_DIR_LINK: the first directory block */
  int owner;        /* first owner, see DI_OWNER_* */
  int second_owner; /* DI_PROBLEM_SHARED */
  int owner_count;  /* DI_PROBLEM_SHARED */
  int stated;
  int counted;
  int error;    /* DI_PROBLEM_DAMAGED: the raw error byte */
  int status;   /* DI_PROBLEM_DIRECTORY: the status code */
  int severity; /* DI_SEVERITY_* of the kind */
} DiProblem;

/* What the check found out about one block. */
typedef struct DiBlockState {
  TsPair ts;
  int in_bam;       /* its track is kept in the BAM (di_track_in_bam()) */
  int in_use;       /* the BAM marks it used (di_is_ts_free() says 0); 0
                       outside the BAM */
  int reserved;     /* kept by the drive, never a file's (D71 track 53 but 53/0) */
  int error;        /* raw error byte, 1 = no error */
  int owner;        /* first owner in the order system, directory, files */
  int second_owner; /* DI_OWNER_NONE when fewer than two */
  int owner_count;  /* how many owners */
  int state;        /* DI_BLOCK_* */
  int marks;        /* DI_MARK_* bits */
} DiBlockState;

typedef struct DiCheck {
  int file_count;
  DiDirEntry *files; /* the listed slots in listing order */
  int *file_blocks;  /* distinct blocks each file owns */
  int *alias_of;     /* per file: the first entry in listing order whose data
                        starts at the same valid block, the file's own index
                        when it is that first one or has no such block */
  int block_count;
  DiBlockState *blocks; /* every block in track/sector order */
  int problem_count;
  DiProblem *problems;                    /* in report order */
  int loss_count, risk_count, note_count; /* problems of each severity */
  int verdict;                            /* DI_VERDICT_* */
} DiCheck;

/* Examines the image as the listing reads it: the directory, the chains of
 * every listed file (data; for REL files the side sectors; for GEOS files
 * the info block and, for VLIR files, each record chain), who owns each
 * block, the BAM against those owners and the error information. Entries
 * whose data starts at the same block are aliases: only the first of them in
 * listing order is walked and owns blocks, and the group is one alias note;
 * the others get no walk problems and no count mismatch. Changes
 * nothing in the image: no byte, no `dirty`, and its status is restored.
 * Every chain is walked with its own visited set; the cost and the memory
 * grow with the blocks and slots of the image, not with its content, and
 * the problems are bounded by a few per block and per slot, and at most 127
 * record problems per VLIR file. Returns null when out of
 * memory, or for an image of no known kind; release with di_check_free(). */
DI_API DiCheck *di_check(DiImage *image);
/* The same from a listing of the image made by di_listing(), so that the
 * directory is read once for both; the image must not have changed since.
 * The check's files are the listing's, by the same index. */
DI_API DiCheck *di_check_listing(const DiImage *image, const DiListing *listing);
/* Releases a check; null is a harmless no-op. */
DI_API void di_check_free(DiCheck *check);

#ifdef __cplusplus
}
#endif

#endif /* DISKIMAGE_DISKIMAGE_H */
