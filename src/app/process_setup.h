// What the program makes sure of before its run: standard descriptors that
// cannot be mistaken for its own files and sockets, and a process that a
// closed standard output cannot end.
#ifndef QUORVANE_APP_PROCESS_SETUP_H_
#define QUORVANE_APP_PROCESS_SETUP_H_

// Opens /dev/null for each of descriptors 0, 1 and 2 that is closed, so that
// no socket or file opened later takes one of their numbers (a socket on
// descriptor 1 would receive everything printed). A descriptor that cannot
// be opened stays closed.
void openMissingStandardDescriptors();

// Ignores SIGPIPE and SIGXFSZ for the rest of the process: a write to a
// standard output that has gone away ("quorvane ... | head"), to a closed
// connection, or past the file size limit ("ulimit -f") fails like any other
// write instead of ending the download, and what was written is kept.
void ignoreWriteSignals();

#endif  // QUORVANE_APP_PROCESS_SETUP_H_
