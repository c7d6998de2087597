// What --version shows: the version and the source revision the tools were built from.
#pragma once

// "2.6.3"
extern const char vorn_project_version[];
// As git names it ("a77cf96e1b2c", with "-dirty" for local changes), or "unknown".
extern const char vorn_source_revision[];

// "<tool> <version>" and "source revision: <revision>" on standard output.
void print_version(const char* tool, const char* version);
