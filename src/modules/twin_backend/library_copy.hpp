// The lifetime of a wrapper's private copy of the simulation library: the
// copy's keeper, the views that hold it, and reclaiming copies nothing can
// reach any more (library_copy.cpp tells how).
//
// Threads: everything here needs the GIL.
#pragma once

#include "modules/twin_backend/module_state.hpp"

namespace vez::backend {

struct LibraryCopy;

// At import: ctypes.CDLL as imported and the ctypes caches that hold types
// for the process lifetime.
void remember_library_loader(py::handle ctypes);
// `loader` is ctypes.CDLL as this module imported it.
bool loader_is_original(py::handle loader);

// Makes `handle` (the CDLL object of a fresh copy) own its loader handle: the
// copy is unloaded when the last object that can reach it is gone.  Anything
// but a real CDLL object (a test double of the loader, say) is left as it is.
void attach_library_copy(py::handle handle, py::handle module);

// Before a new copy is made: unloads the copies nothing can reach, with a
// full collection now and then for owners that die only in cycles.
void reclaim_unreachable_copies();

// The keeper of the copy behind `lib` (a bindings module) and its record, or
// nullptr when the copy has none.
LibraryCopy* library_copy_of(py::handle lib, py::object* keeper_out);

// pointer.contents, made to hold the copy's keeper; without a keeper, the
// plain contents.
py::object anchored_contents(py::handle pointer, const py::object& keeper, LibraryCopy* copy);

// Views made by an overridden or patched _bind_ctypes (or
// _bind_optional_global) need not hold the copy: such a wrapper's copy is
// never unloaded.
void keep_copy_unless_views_are_ours(py::handle self);

}  // namespace vez::backend
