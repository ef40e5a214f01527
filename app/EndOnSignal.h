#pragma once

class TfrmMain;

// Ends the program as the user would, when a signal asks it to end: a run is stopped (its
// error box left out), a question open over it is closed, then the main window, which ends the
// program. Steps are taken one after another until the main window has closed.
void EndAsAsked(TfrmMain& main);
