// Title bars with a close button only, also under openbox.
#pragma once

class QWidget;

namespace lorvane {

// Call after the window's flags are final and before it is first shown.
//
// Qt already asks every window manager for this through _MOTIF_WM_HINTS
// (functions: move and close; decorations: no minimise or maximise box), and
// most honour it. openbox 3.6 does not: it ignores the Motif functions that
// would take buttons away, draws the iconify button for every normal, dialog
// and utility window whatever WM_NORMAL_HINTS or WM_TRANSIENT_FOR say, and
// keeps drawing the maximise button of a fixed-size window after disabling
// it. Only its "helper" window types (toolbar, menu) lose both. So under
// openbox, and only there, the window is typed as a toolbar before it is
// mapped; openbox still focuses it, cycles to it with Alt+Tab and lets it be
// moved and closed. Other window managers keep Qt's own hints, since some
// draw no frame at all around a toolbar.
void CloseButtonOnly(QWidget& window);

}  // namespace lorvane
