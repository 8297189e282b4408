// The scanner front end: the command driver and its reports.
#ifndef KESTRIX_SCANNER_REPORTS_H
#define KESTRIX_SCANNER_REPORTS_H

#include <cstdio>

#include "diskimage/diskimage.h"
#include "scanner/image_facts.h"

// 1 when the last of -name and -bammsg printed a line; -cr prints a blank
// line after such text and clears it.
extern int lastoutput;

// Runs a whole command line (image path, then commands) and returns the exit
// status: 0, 1 when a -check found problems (or a report could not be made),
// or 255 for a usage error or an image that did not load. A -version command
// ends the run at once with 0. Why an image did not load, and which argument
// is no command, go to standard error.
int run_commands(int argc, char **argv);
void print_usage(const char *prog);
void print_version();

// Converts disk text (PETSCII) to printable ASCII in place, up to its zero byte.
void ptoa(unsigned char *text);
// -bammsg: the text kept in the free tail of the BAM block, if any.
void print_bammessage(DiImage *image);
// -map: BAM beside the error map, one line per track, and three totals.
void print_map(DiImage *image);
void print_spaces(int count);
// -dir: the directory listing, with every file read along its chain.
void print_dir(DiImage *image);
void render_listing(const facts::Listing &listing, FILE *out);
// -check: the integrity check's problems as text, then their number. Returns
// the number, or -1 when the check could not be made (out of memory).
int print_check(DiImage *image, FILE *out);
// -json: one line of JSON; image_arg is the image as typed. False when the
// report could not be made (out of memory).
bool print_json(DiImage *image, const char *image_arg, FILE *out);
// -svg: a picture of the disk, one ring segment per block coloured by its
// owner, with a title naming image_arg (the argument as typed) and a legend.
void print_svg(DiImage *image, const char *image_arg, FILE *out);

#endif  // KESTRIX_SCANNER_REPORTS_H
