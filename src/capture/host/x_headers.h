// The Xlib headers the capture backend uses, included first by each of its
// files. Xlib defines `Status` and `CursorShape` as macros, which would
// rewrite our own names (RectQuery::Status, CursorShape); they are removed
// once the X headers are in, and X's Status is spelled `int` from here on.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>

#undef Status
#undef CursorShape
