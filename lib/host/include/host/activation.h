// Sockets handed over by a service manager that started the process on the
// first connection (socket activation): the listening socket arrives as
// descriptor 3, announced by LISTEN_PID (this process) and LISTEN_FDS (the
// count) in the environment.
#pragma once

// Returns the handed-over listening stream socket, or -1 when none was handed
// to this process. The announcement is removed from the environment, so
// children never take it for theirs, and the socket is not inherited by them.
int HostActivation_ListenFd(void);
// Closes what the starter left open beyond the standard streams and the
// sockets handed over: a pipe it waits on, a file on a volume its user
// would unmount, are not for a service that outlives it.
void HostActivation_CloseInherited(void);
