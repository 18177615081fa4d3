// Platform support library: child processes with pipes, proxy settings, host name, last-error slot.
#ifndef VORN_PLATFORM_H
#define VORN_PLATFORM_H

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Process record of a child started by VORNPipeOpen. */
typedef struct VORN_PROCESS {
    pid_t pid;
} VORN_PROCESS;

/* Pipe handle: the parent's ends of the child's standard input and output. */
typedef struct VORN_PIPE {
    int toChild;   /* write end, the child's standard input */
    int fromChild; /* read end, the child's standard output */
    pid_t pid;
} VORN_PIPE;

/* Starts `program` with the given arguments (a null-terminated list) and pipes on its standard
 * input and output; standard error is inherited. When VORN_SYSROOT is set, an absolute path
 * among the program and its arguments whose directory exists below it is taken as
 * $VORN_SYSROOT/path, whether or not the file itself is there; other paths are used as given.
 * Returns a handle, or NULL (with the error slot set) when the program cannot be started. */
VORN_PIPE *VORNPipeOpen(VORN_PROCESS *process, const char *program, ...);

/* Ends the child: closes its input, waits up to timeoutMs for it to exit, then sends SIGTERM
 * and finally SIGKILL; always reaps it and frees the handle. Returns the child's wait status,
 * or -1 when it had to be killed. */
int VORNPipeClose(VORN_PIPE *pipe, int timeoutMs);

/* Fills `buffer` with "host:port" of the proxy configured for https (flag 1) or http (flag 0)
 * through https_proxy/HTTPS_PROXY or http_proxy/HTTP_PROXY. Returns 1 when one is configured. */
int VORNProxyGetAddr(int https, char *buffer, size_t size);

/* Fills `buffer` with "user:password" (percent-decoded) from the user part of the URL of the
 * proxy that this thread's last VORNProxyGetAddr call returned. Returns 1 when it has some. */
int VORNProxyGetAuth(char *buffer, size_t size);

/* Writes the host name into `buffer` (at least 65 bytes). Negative on failure. */
int VORNLnxGetHostname(char *buffer);

/* The process-wide last-error slot. */
void VLIBCErrSetEx(int code, const char *file, int line);
int VLIBCErrGet(void);
const char *VLIBCErrorGetFile(void);
int VLIBCErrorGetLine(void);

/* Codes of the error slot that the platform sets itself. */
#define VLIBC_ERR_NONE 0x0000
#define VLIBC_ERR_SPAWN 0x2A00

#ifdef __cplusplus
}
#endif

#endif
