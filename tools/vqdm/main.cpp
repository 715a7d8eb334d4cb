// vqdm - the command-line tool of VQDataMatrixLib.
//
//   vqdm demo                      a run-up matrix end to end (swapping, slices, stream files)
//   vqdm info FILE                 what a matrix stream file holds
//   vqdm slice FILE ...            one of the six slices, as CSV and as a picture (PNG, SVG, PDF)
//   vqdm export FILE ...           element values as CSV
//   vqdm export FILE --netcdf OUT  the whole matrix as a netCDF-4 file (xarray, dask, HDF5 readers)
//   vqdm import IN.nc OUT          a netCDF file of that layout back into a matrix stream file
//   vqdm register|unregister LIB   registers or unregisters a component library
//
// Every failure prints one line "vqdm: ..." on standard error. Exit codes: 0
// success, 1 the command failed, 2 bad arguments, 3-5 registration (see
// RegisterLibrary.h).

// g++ 12 at -O2 with -fsanitize=thread warns falsely (-Wnull-dereference)
// inside CLI11's string splitting, where its vector grows.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnull-dereference"
#include <CLI/CLI.hpp>
#pragma GCC diagnostic pop

#include <cstdio>
#include <functional>

#include "tools/RegisterLibrary.h"
#include "tools/vqdm/Commands.h"
#include "tools/vqdm/Common.h"
#include "tools/vqdm/NetCdf.h"

int main(int argc, char** argv) {
  CLI::App app{"Command-line tool of VQDataMatrixLib: four-dimensional matrices of spectra and time records.", "vqdm"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("vqdm ") + VQ_PROJECT_VERSION, "Show the version and exit");
  std::function<int()> run;

  vqdm::DemoOptions demo;
  CLI::App* demoCommand = app.add_subcommand("demo",
                                             "Build a run-up matrix larger than a memory budget, slice it, write it to "
                                             "stream files, read it back and verify it");
  demoCommand->add_option("--memory-budget", demo.memoryBudget, "Process memory budget (e.g. 160M, 2G; 0 = none)")
      ->capture_default_str();
  demoCommand->add_option("--speeds", demo.speeds, "Speed steps (d1)")->capture_default_str();
  demoCommand->add_option("--channels", demo.channels, "Channels (d2)")->capture_default_str();
  demoCommand->add_option("--runs", demo.runs, "Runs (d3)")->capture_default_str();
  demoCommand->add_option("--lines", demo.lines, "Lines per narrowband spectrum")->capture_default_str();
  demoCommand->add_option("--kind", demo.kind, "Storage kind: single or multi")->capture_default_str();
  demoCommand->add_option(
      "--out", demo.outDir,
      "Folder to keep the stream files and a Campbell picture in (default: a temporary folder, removed)");
  bool noProgress = false;
  demoCommand->add_flag("--no-progress", noProgress, "No progress line on the terminal");
  demoCommand->callback([&] {
    demo.progress = !noProgress;
    run = [&] { return vqdm::RunDemo(demo); };
  });

  vqdm::InfoOptions info;
  CLI::App* infoCommand =
      app.add_subcommand("info", "Show the header, axes, identifiers and labels of a matrix stream file");
  infoCommand->add_option("FILE", info.file, "Matrix stream file")->required();
  infoCommand->add_flag("--header", info.headerOnly, "Read only the header (fast for large files)");
  infoCommand->callback([&] { run = [&] { return vqdm::RunInfo(info); }; });

  vqdm::SliceOptions slice;
  CLI::App* sliceCommand = app.add_subcommand(
      "slice", "Cut a plane of a matrix stream file: sums over an x-range (--x) or whole records (--spectrum)");
  // Not required here: "--x 780:820 FILE" hands FILE to --x, and the callback gives it back.
  sliceCommand->add_option("FILE", slice.file, "Matrix stream file");
  sliceCommand->add_option("--plane", slice.plane, "Plane walked: d1d2, d1d3 or d2d3")->capture_default_str();
  sliceCommand
      ->add_option("--fixed", slice.fixed,
                   "Positions of the two other dimensions (d3 d4, d2 d4 or d1 d4; default 0 0)")
      ->expected(2)
      ->allow_extra_args(false);  // a FILE after the positions is the FILE
  std::vector<std::string> xRange;
  sliceCommand
      ->add_option("--x", xRange,
                   "Sum over the x-range MIN:MAX or MIN MAX (axis units, e.g. 780:820); with --spectrum the x-range "
                   "shown")
      ->expected(1, 2)
      ->allow_extra_args(false);  // a FILE after MIN MAX is the FILE
  sliceCommand->add_flag("--spectrum", slice.spectrum, "Whole records instead of sums");
  sliceCommand->add_option("--record", slice.record, "Record (Z) of each element")->capture_default_str();
  sliceCommand->add_option("--by", slice.by, "Layout of the result: row or column")->capture_default_str();
  sliceCommand->add_option("--csv", slice.csv, "CSV output file ('-' = standard output, the default without --png)");
  vqdm::PictureOptions& picture = slice.picture;
  sliceCommand->add_option("--picture,--png", picture.path, "Picture output file: .png, .svg or .pdf");
  sliceCommand->add_option("--format", picture.format, "Picture format png, svg or pdf (default: from the file name)");
  sliceCommand->add_option("--style", picture.style,
                           "map (a Campbell diagram of spectra), waterfall (spectra) or lines (sums over a dimension)");
  sliceCommand->add_option("--size", picture.size, "Picture size WIDTHxHEIGHT in pixels")->capture_default_str();
  sliceCommand->add_flag("--linear", picture.linear, "Values as they are instead of levels in dB");
  sliceCommand->add_option("--db", picture.dbFactor, "20 (20·log10, amplitudes) or 10 (10·log10, powers)")
      ->capture_default_str();
  sliceCommand->add_option("--range-db", picture.rangeDb, "dB shown below the highest level")->capture_default_str();
  sliceCommand->add_option("--reference", picture.reference, "Value of 0 dB, in the values' unit")
      ->capture_default_str();
  sliceCommand->add_option("--unit", picture.unit, "Unit of the values (e.g. m/s², Pa), named on the level scale");
  sliceCommand->add_option("--bin", picture.bin, "Values sharing a pixel: max or mean (power)")->capture_default_str();
  sliceCommand->callback([&] {
    if (xRange.size() == 2 && xRange[0].find(':') != std::string::npos) {
      if (!slice.file.empty()) throw CLI::ExtrasError({xRange[1]});
      slice.file = xRange[1];
      xRange.pop_back();
    }
    if (slice.file.empty()) throw CLI::RequiredError("FILE");
    slice.range.clear();
    for (const std::string& part : xRange) slice.range += (slice.range.empty() ? "" : ":") + part;
    run = [&] { return vqdm::RunSlice(slice); };
  });

  vqdm::ExportOptions exportOptions;
  CLI::App* exportCommand = app.add_subcommand("export", "Write element values of a matrix stream file as CSV");
  exportCommand->add_option("FILE", exportOptions.file, "Matrix stream file")->required();
  exportCommand->add_option("--at", exportOptions.at, "Position d1 d2 d3 d4 of one element (all its records)")
      ->expected(4)
      ->allow_extra_args(false);
  exportCommand->add_flag("--all", exportOptions.all, "Every element, one line each (one record)");
  exportCommand->add_option("--record", exportOptions.record, "Only this record (Z)");
  exportCommand->add_option("--csv", exportOptions.csv, "Output file ('-' or none = standard output)");
  vqdm::NetCdfExportOptions netcdfExport;
  exportCommand->add_option("--netcdf", netcdfExport.out, "Write the whole matrix as a netCDF-4 file instead");
  exportCommand->callback([&] {
    if (netcdfExport.out.empty()) {
      run = [&] { return vqdm::RunExport(exportOptions); };
      return;
    }
    if (exportOptions.all || !exportOptions.at.empty() || exportOptions.record >= 0 || !exportOptions.csv.empty())
      throw CLI::ValidationError("--netcdf", "writes the whole matrix; it takes none of --at, --all, --record, --csv");
    netcdfExport.file = exportOptions.file;
    run = [&] { return vqdm::RunNetCdfExport(netcdfExport); };
  });

  vqdm::ImportOptions importOptions;
  CLI::App* importCommand =
      app.add_subcommand("import", "Read a netCDF file as vqdm export --netcdf writes it into a matrix stream file");
  importCommand->add_option("IN", importOptions.in, "netCDF file")->required();
  importCommand->add_option("OUT", importOptions.out, "Matrix stream file to write")->required();
  importCommand->callback([&] { run = [&] { return vqdm::RunImport(importOptions); }; });

  std::string library;
  bool silent = false;
  for (const bool unregister : {false, true}) {
    CLI::App* command = app.add_subcommand(unregister ? "unregister" : "register",
                                           unregister ? "Remove a component library's classes from the registry store"
                                                      : "Enter a component library's classes in the registry store");
    command->add_option("LIBRARY", library, "Path of the library (.so)")->required();
    command->add_flag("-s,--silent", silent, "Print nothing on success");
    command->callback([&, unregister] {
      run = [&, unregister] { return vqtools::RegisterAndReport("vqdm", library.c_str(), unregister, silent); };
    });
  }

  // A mistyped command would otherwise draw CLI11's "arguments were not
  // expected" or "a subcommand is required".
  if (argc > 1 && argv[1][0] != '-') {
    try {
      app.get_subcommand(argv[1]);
    } catch (const CLI::OptionNotFound&) {
      std::fprintf(stderr, "vqdm: unknown command '%s' (try --help)\n", argv[1]);
      return 2;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help
    std::fprintf(stderr, "vqdm: %s (try --help)\n", e.what());
    return 2;
  }
  try {
    return run ? run() : 2;
  } catch (const vqdm::ToolError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "vqdm: %s\n", e.what());
    return e.ExitCode();
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "vqdm: %s\n", e.what());
    return 1;
  }
}
