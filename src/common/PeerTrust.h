// Who may be at the other end of a Unix socket we connect to. The sockets live in /tmp, where any
// local user can bind a path first; a process of another user there would receive our requests
// and answers, so a connection is kept only when the peer runs as our user or as root.
#pragma once

// 0 when the connected socket fd's peer is trusted; EACCES (logged with the peer's uid and pid)
// when it is not, or the errno of reading the peer's credentials.
int CheckPeerTrusted(int fd);
