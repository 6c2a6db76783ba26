// The service commands of `doroze` beyond scan, params, blink and home:
//
//   doroze config save -a ADDR [-p PORT | --virtual MODEL] FILE
//   doroze config load -a ADDR [-p PORT | --virtual MODEL] FILE [--dry-run] [--persist] [--force]
//                      [--with-runtime] [--with-address]
//   doroze monitor -a ADDR [-p PORT | --virtual MODEL] [--items ITEM,...] [--rate HZ] [--duration S]
//                  [--csv FILE] [--plain]
//
// They add their parsers to the tool's subcommands and run on the parsed
// namespace; each returns the exit status (0 done, 1 a failure it reported).
// Argument errors leave through the parser (status 2).
#pragma once

#include <string>

#include "glue/glue.hpp"

namespace vez::cli {

// Adds `config` and `monitor` to the tool's subparsers.
void add_service_commands(const glue::ModuleRef& mod, pybind11::handle subparsers, pybind11::handle address_type,
                          const char* port_help);

bool is_service_command(const std::string& command);

// Runs the parsed `config` or `monitor` command.
int run_service_command(const glue::ModuleRef& mod, pybind11::handle args);

}  // namespace vez::cli
