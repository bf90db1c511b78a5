// The host's script library: chosen before Tcl_Init, confined after it.
#include "host/script_library.h"

#include <tk.h>

#include <filesystem>
#include <initializer_list>
#include <string_view>

#include "base/owners.h"
#include "base/platform.h"

namespace qsn {
namespace {

constexpr char kTkFolder[] = "tk" TK_VERSION;

bool Exists(const std::string& path) {
  std::error_code failure;
  return std::filesystem::exists(std::filesystem::u8path(path), failure);
}

// The encodings Tcl has within itself, with no table to load.
bool BuiltIntoTcl(std::string_view encoding) {
  return encoding == "utf-8" || encoding == "identity" || encoding == "unicode" ||
         encoding == "iso8859-1";
}

std::string Parent(const std::string& path) {
  return std::filesystem::u8path(path).parent_path().u8string();
}

// apply $kConfine roots: keeps of each list of folders those inside
// `roots`, comparing them with every link resolved (the last component's
// too: a name is joined below each first). A part of Tcl's library that
// did not load is passed over.
constexpr char kConfine[] = R"tcl({roots} {
    set real {}
    foreach root $roots {
        lappend real [file split [file dirname [file normalize [file join $root _]]]]
    }
    set inside {{real path} {
        set parts [file split [file dirname [file normalize [file join $path _]]]]
        foreach root $real {
            if {[lrange $parts 0 [llength $root]-1] eq $root} {return 1}
        }
        return 0
    }}
    set kept {}
    if {[info exists ::auto_path]} {
        foreach dir $::auto_path {
            if {[apply $inside $real $dir]} {lappend kept $dir}
        }
    }
    set ::auto_path $kept
    set kept {}
    foreach dir [encoding dirs] {
        if {[apply $inside $real $dir]} {lappend kept $dir}
    }
    encoding dirs $kept
    if {![catch {::tcl::tm::path list} modules]} {
        foreach dir $modules {
            if {![apply $inside $real $dir]} {::tcl::tm::path remove $dir}
        }
    }
})tcl";

}  // namespace

std::string WorkingTclLibrary() { return PathInWorkingDirectory("lib/tcl8.5"); }

bool CheckScriptLibrary(std::string* error) {
  if (SystemTclLibraryMayServe()) return true;
  if (!Exists(PathInWorkingDirectory("lib/tcl8.5/init.tcl"))) {
    *error = "Tcl's library is missing: no init.tcl in " + WorkingTclLibrary();
    return false;
  }
  // Tcl_FindExecutable loads the system encoding's table before the library
  // is confined, from the first folder that has it: the working folder's
  // library, or else folders beside and above the program, where anyone
  // may plant one that changes how every text of the script reads.
  DString name;
  Tcl_GetEncodingNameFromEnvironment(name.get());
  std::string table = name.value() + std::string(".enc");
  FilePtr file;
  std::string ignored;
  if (BuiltIntoTcl(name.value()) ||
      OpenFile(PathInWorkingDirectory("lib/tcl8.5/encoding/" + table), "rb", &file,
               &ignored))
    return true;
  *error = "The system encoding's table is missing: no " + table + " in " +
           PathInWorkingDirectory("lib/tcl8.5/encoding");
  return false;
}

ScriptLibrary ChooseTclLibrary(Tcl_Interp* interp) {
  ScriptLibrary library{WorkingTclLibrary(), ""};
  // The folder Tcl was built to take its library from, as Tcl_CreateInterp
  // registered it.
  if (SystemTclLibraryMayServe() &&
      Tcl_EvalEx(interp, "::tcl::pkgconfig get scriptdir,runtime", -1, TCL_EVAL_GLOBAL) ==
          TCL_OK)
    library.system = Tcl_GetStringResult(interp);
  Tcl_ResetResult(interp);
  if (!library.system.empty() && !Exists(PathInWorkingDirectory("lib/tcl8.5/init.tcl")))
    library.tcl = library.system;
  Tcl_SetVar(interp, "tcl_library", library.tcl.c_str(), TCL_GLOBAL_ONLY);
  return library;
}

void ConfineScriptLibrary(Tcl_Interp* interp, const ScriptLibrary& library) {
  ObjRef roots(Tcl_NewListObj(0, nullptr));
  Tcl_ListObjAppendElement(nullptr, roots.get(),
                           Tcl_NewStringObj(PathInWorkingDirectory("lib").c_str(), -1));
  std::string tk = PathInWorkingDirectory(std::string("lib/") + kTkFolder);
  if (!library.system.empty()) {
    // The system's Tcl: its library's folder and the package folders it was
    // built with, all the administrator's.
    std::string parent = Parent(library.system);
    Tcl_ListObjAppendElement(nullptr, roots.get(), Tcl_NewStringObj(parent.c_str(), -1));
    if (Tcl_Obj* packages =
            Tcl_GetVar2Ex(interp, "tcl_pkgPath", nullptr, TCL_GLOBAL_ONLY))
      Tcl_ListObjAppendList(nullptr, roots.get(), packages);
    if (!Exists(tk)) tk = parent + "/" + kTkFolder;
  }
  // Tk_Init then tries this folder alone.
  Tcl_SetVar(interp, "tk_library", tk.c_str(), TCL_GLOBAL_ONLY);
  ObjRef command(Tcl_NewListObj(0, nullptr));
  for (Tcl_Obj* word :
       {Tcl_NewStringObj("apply", -1), Tcl_NewStringObj(kConfine, -1), roots.get()})
    Tcl_ListObjAppendElement(nullptr, command.get(), word);
  // Nothing in it fails but on a broken library, which Tcl_Init reported.
  Tcl_EvalObjEx(interp, command.get(), TCL_EVAL_GLOBAL);
  Tcl_ResetResult(interp);
}

}  // namespace qsn
