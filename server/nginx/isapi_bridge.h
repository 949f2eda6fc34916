/*
 * The C interface between the nginx module (C, nginx's API) and the host
 * core (C++). The nginx side copies what it knows about a request into an
 * isapi_request, the bridge runs it through the extension module and hands
 * the answer, as the module writes it, to an isapi_sink of the nginx side.
 * No nginx type crosses this line and no C++ exception leaves it.
 */
#ifndef ISAPI_BRIDGE_H
#define ISAPI_BRIDGE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct isapi_module isapi_module;

typedef struct {
    const char *data;
    size_t      len;
} isapi_text;

typedef struct {
    isapi_text  name;
    isapi_text  value;
} isapi_field;

/* A request as nginx parsed it. Every text may be empty, none is NULL. */
typedef struct {
    isapi_text              method;
    isapi_text              target;       /* request-target as sent */
    isapi_text              path;         /* decoded, normalised path */
    isapi_text              query;        /* raw text after '?' */
    isapi_text              script_name;  /* leading part of path naming the module */
    isapi_text              protocol;     /* "HTTP/1.1" */
    const isapi_field      *headers;      /* in arrival order, names as sent */
    size_t                  header_count;
    uint64_t                body_size;
    /* Copies up to `size` next bytes of the body into `buffer`: how many,
     * 0 at its end, -1 when they cannot be read (the request is gone).
     * Called on the thread that runs the call, for lpbData's first bytes
     * and then for each ReadClient, so that no body is copied whole. */
    int64_t               (*read_body)(void *data, void *buffer, size_t size);
    void                   *read_body_data;
    isapi_text              remote_addr;
    uint16_t                remote_port;
    isapi_text              local_addr;
    uint16_t                local_port;
    isapi_text              server_software;
    int                     https;
} isapi_request;

/* How the answer's body is delimited, as the host core's answer rule
 * decided it (server/core/host_core.h). A module's own chunked coding never
 * reaches this side: the core has decoded it and taken its
 * Transfer-Encoding line out, so the body is always plain data. */
typedef enum {
    /* The module's own Content-Length, a line among the headers. */
    ISAPI_FRAMING_MODULE_LENGTH,
    /* The core held the whole answer: content_length is its size (for HEAD,
     * that of the body the module wrote and the core withheld); no
     * Content-Length line is among the headers. Never for 204 and 304. */
    ISAPI_FRAMING_HELD_LENGTH,
    /* The length is unknown: the answer passed the hold limit and streams,
     * or has no body to measure (HEAD to a module that writes none, 204,
     * 304). nginx delimits the body its own way. */
    ISAPI_FRAMING_UNKNOWN
} isapi_framing;

/* The status and header of an answer. Every pointer stays valid until
 * isapi_answer_release. */
typedef struct {
    int                 status;
    isapi_text          status_line;   /* "200 OK" */
    const isapi_field  *headers;       /* the module's lines, names as spelled */
    size_t              header_count;
    isapi_framing       framing;
    uint64_t            content_length;  /* with the two LENGTH framings */
    int                 keep_conn;     /* 0: the module asked to close */
    /* 0 for 204 and 304: no body and no length, not even the module's */
    int                 status_has_body;
    /* 1: the core's bare 500 in place of an answer the module got wrong */
    int                 replaces_module_answer;
    void               *storage;
} isapi_answer;

/* Where an answer goes while the module writes it: head once, then the
 * body in pieces, then finish once, last; called on the thread that runs
 * isapi_call_run. */
typedef struct {
    /* 0, or -1 when the client is gone. Owns `head` from then on: free it
     * with isapi_answer_release. */
    int    (*head)(void *data, isapi_answer *head);
    /* 0 once nginx has taken the bytes, -1 when they cannot be delivered
     * (the module's WriteClient then fails) */
    int    (*body)(void *data, const char *bytes, size_t size);
    /* complete is 0 when a streamed body ended short of its length or its
     * chunking, or a write failed: the client must not see the answer as
     * whole. */
    void   (*finish)(void *data, int complete);
    /* 1 once nginx has given the request up, so that the module's writes
     * fail at once, also those the core would hold; NULL: never */
    int    (*gone)(void *data);
    void    *data;
    int      keep_alive;   /* nginx would keep the client connection */
} isapi_sink;

/* A request copied out of nginx's memory, all but its body, which the
 * module reads through the request's read_body. */
typedef struct isapi_call isapi_call;

/* Who a worker process is: the check loads a module as the worker will. */
typedef struct {
    char *const  *environment;   /* "NAME=value" entries, NULL-terminated */
    int           switch_user;   /* 0: the worker stays who the caller is */
    uid_t         user;
    gid_t         group;
    const char   *user_name;     /* for its supplementary groups */
} isapi_worker_identity;

/* Loads the module at `path` and calls its GetExtensionVersion in a
 * short-lived child process that takes on `worker`'s user, groups and
 * environment, so that the calling process stays as it was. Returns 0, or
 * -1 with a one-line reason naming the file in `error` (always
 * NUL-terminated). A child that has not finished within 10 s is killed and
 * the check fails. Blocks SIGCHLD while it waits for the child. */
int isapi_module_check(const char *path, const isapi_worker_identity *worker,
                       char *error, size_t error_size);

/* The hold limit when the configuration sets none. */
extern const uint64_t isapi_default_hold_limit;

/* Loads the module at `path` and calls GetExtensionVersion once. Answers
 * whose body stays within `hold_limit` bytes are held whole and checked
 * before they leave (the core's answer rule). Returns NULL with a one-line
 * reason in `error` on failure. */
isapi_module *isapi_module_load(const char *path, uint64_t hold_limit, char *error,
    size_t error_size);

/* Waits until no request is inside the module, calls
 * TerminateExtension(HSE_TERM_MUST_UNLOAD) once, unloads it and frees
 * `module`. */
void isapi_module_unload(isapi_module *module);

/* Copies `request` but its body, so that the call needs no more of
 * nginx's memory than read_body gives. NULL when there is no memory. */
isapi_call *isapi_call_copy(const isapi_request *request);

/* Runs `call` through the module, blocking until the module is done with
 * it, and frees it. Thread-safe. Returns 0 after sink->finish, or -1 when
 * the request could not be run (no memory); the sink may have had its head
 * then, but no finish. */
int isapi_call_run(isapi_module *module, isapi_call *call, const isapi_sink *sink);

/* Frees what the bridge allocated for *answer. Safe on a zeroed answer. */
void isapi_answer_release(isapi_answer *answer);

#ifdef __cplusplus
}
#endif

#endif
