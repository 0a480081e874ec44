// The subcommands of brantwicker-service. Each takes the arguments after its
// own name (argv[0] is the subcommand's name) and returns the process's exit
// status. A new subcommand is one declaration here and one row in main.cpp.
#pragma once

int import_command(int argc, char** argv);
int lookup_command(int argc, char** argv);
int stats_command(int argc, char** argv);
int serve_command(int argc, char** argv);
int export_bloom_command(int argc, char** argv);
int retrohunt_command(int argc, char** argv);
