// The scanner front end: the command driver and its reports. Every report
// renders an image's gathered facts to a stream; none of them touches the
// image itself.
#ifndef KESTRIX_SCANNER_REPORTS_H
#define KESTRIX_SCANNER_REPORTS_H

#include <cstdio>
#include <string>

#include "scanner/facts.h"

// 1 when the last of -name and -bammsg printed a line; -cr prints a blank
// line after such text and clears it.
extern int lastoutput;

// Runs a whole command line (image path, then commands) and returns the exit
// status: 0, 1 when a -check found the image not intact, or 255 for a usage error, an
// image that did not load or memory that ran out. A -version command ends
// the run at once with 0. Why a run failed goes to standard error.
int run_commands(int argc, char **argv);
void print_usage(const char *prog);
void print_version();

// Converts disk text (PETSCII) to printable ASCII in place, up to its zero byte.
void ptoa(unsigned char *text);
// -bammsg: the text kept in the free tail of the BAM block, if any; sets
// lastoutput to whether it printed.
void print_bammessage(facts::ImageFacts &image, FILE *out);
// -map: BAM beside the error map, one line per track, and three totals.
void print_map(facts::ImageFacts &image, FILE *out);
// -dir: the directory listing, with every file read along its chain.
void print_dir(facts::ImageFacts &image, FILE *out);
// -check: the integrity check's problems as text, losses first, then the
// verdict line; returns the verdict (DI_VERDICT_*).
int print_check(facts::ImageFacts &image, FILE *out);
// -json: one line of JSON.
void print_json(facts::ImageFacts &image, FILE *out);
// -svg: a picture of the disk, one ring segment per block coloured by its
// owner, with a title naming the image as typed and a legend.
void print_svg(facts::ImageFacts &image, FILE *out);
// -extract DIR: writes every listed file's data into the new directory `dir`
// with its manifest, then one line per entry and a total to `out`. False,
// with nothing left behind and *error saying why, when that failed.
bool extract_files(facts::ImageFacts &image, const char *dir, FILE *out, std::string *error);
// The name a file is written under, before its type and any number: a name
// as -dir shows it, with '/', '\', a leading '.' and every byte outside
// printable ASCII made '_', trailing spaces trimmed, and "_" for nothing.
std::string extract_file_name(const std::string &shown);

#endif  // KESTRIX_SCANNER_REPORTS_H
