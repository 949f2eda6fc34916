/*
 * nginx dynamic module that serves requests through an ISAPI extension
 * module, using the host core through isapi_bridge.h.
 *
 *   isapi PATH;               location: the extension module at PATH serves
 *                             every request of the location
 *   isapi_thread_pool NAME|off;
 *                             location: run the module on nginx's thread
 *                             pool NAME instead of in the event loop; off
 *                             undoes an inherited one
 *   isapi_timeout TIME;       location: a call on the thread pool that has
 *                             not ended after TIME is answered 504, or its
 *                             answer cut short; off by default
 *   isapi_hold_limit SIZE;    http: answers up to SIZE body bytes are held
 *                             whole and checked before they leave
 *   isapi_temp_path PATH [L1 [L2 [L3]]];
 *                             location: where what a client cannot take yet
 *                             is kept beyond the memory buffers; the
 *                             client_body_temp_path by default
 *   isapi_max_temp_file_size SIZE;
 *                             location: at most SIZE (1024m) kept there per
 *                             request; beyond it a pool call waits for the
 *                             client and one in the event loop is cut
 *
 * Lifecycle: once nginx has read the http block, every module named by an
 * `isapi` directive is loaded and registered once in a short-lived child
 * process that has a worker's user, groups and environment, so that
 * `nginx -t` and a reload fail with one line naming a module that a worker
 * could not load: missing, unreadable, lacking an entry point or refusing
 * GetExtensionVersion. Processes that only signal the master (nginx -s)
 * load nothing. Each worker process then loads the modules itself
 * (GetExtensionVersion once per worker) and calls TerminateExtension once
 * when it exits, after its last request in a module has ended. A module a
 * worker still cannot load is logged once; its locations answer 503 and
 * the rest of the site is served.
 */
#include <ngx_config.h>
#include <ngx_core.h>
#include <ngx_http.h>
#include <nginx.h>

#include <sys/eventfd.h>

#include "isapi_bridge.h"


/* One extension module file; `loaded` only in worker processes. */
typedef struct {
    ngx_str_t           path;
    isapi_module       *loaded;
} ngx_http_isapi_extension_t;


typedef struct {
    ngx_array_t         extensions;      /* of ngx_http_isapi_extension_t */
    /* installation variables set in the master's environment */
    ngx_array_t         master_variables;   /* of ngx_str_t */
    size_t              hold_limit;
} ngx_http_isapi_main_conf_t;


typedef struct {
    ngx_uint_t          extension;       /* index into extensions */
    ngx_str_t           script_name;
#if (NGX_THREADS)
    ngx_thread_pool_t  *thread_pool;
    ngx_msec_t          timeout;
#endif
    ngx_path_t         *temp_path;
    off_t               max_temp_file_size;
} ngx_http_isapi_loc_conf_t;


/* One request on its way through the module. */
typedef struct {
    ngx_http_request_t  *request;       /* NULL once given up on */
    isapi_module        *module;
    isapi_request        call;
    isapi_sink           sink;
    /* the module's Content-Type line, its value shown to nginx's filters */
    ngx_table_elt_t     *content_type;

    /* the event loop's */
    ngx_chain_t         *body;          /* request body not yet read */
    off_t                body_offset;   /* into body's first buffer */
    ngx_chain_t         *filling;       /* not yet passed to nginx */
    ngx_temp_file_t     *temp_file;     /* beyond the memory buffers */
    ngx_chain_t         *spilled;       /* in temp_file, not yet passed */
    ngx_chain_t         *free;
    ngx_chain_t         *busy;
    ngx_uint_t           buffers;
    unsigned             head_sent:1;
    unsigned             failed:1;      /* the client's connection is cut */
    unsigned             done:1;        /* the module is done with it */
    unsigned             thread_spills:1;  /* the pool thread writes
                                              temp_file */

    /* as the host core finished it; a word of its own, since a pool thread
     * writes it while the event loop writes the bits above */
    ngx_uint_t           complete;

#if (NGX_THREADS)
    /* here, not in the request's pool: the pool thread and its completion
     * use it after the worker may have given the request up */
    ngx_thread_task_t    task;
    ngx_event_t          timeout;       /* isapi_timeout */
    ngx_queue_t          woken;         /* in ngx_http_isapi_woken_queue */
    ngx_pool_cleanup_t  *request_gone;
    ngx_http_cleanup_t  *abandoned;
    unsigned             run_failed:1;  /* the pool thread's */
    unsigned             in_module:1;   /* the pool thread's */

    /* handed over between the pool thread and the event loop */
    ngx_thread_mutex_t   mutex;
    ngx_thread_cond_t    taken;
    isapi_answer         head;          /* when head_ready */
    const char          *bytes;         /* the module's write being taken */
    size_t               left;
    size_t               returned;      /* of it, for the pool thread to
                                           write to the temporary file */
    /* the pool thread's own descriptor of temp_file, once the memory
     * buffers are full, and the end of what it wrote there */
    ngx_fd_t             spill_fd;
    off_t                spill_end;
    off_t                spill_limit;   /* isapi_max_temp_file_size */
    ngx_uint_t           call_number;   /* of the worker's pool calls */
    ngx_queue_t          turn;          /* in ngx_http_isapi_turn_queue */
    ngx_thread_cond_t    turn_given;
    unsigned             has_turn:1;
    /* the pool thread's: the module's small writes gathered, handed over
     * when full or once the call ends */
    u_char              *gathered;
    size_t               gathered_size;
    unsigned             head_ready:1;
    unsigned             detached:1;    /* the request is gone */
    /* the module's writes fail; a word of its own, which the pool thread
     * reads without the mutex before each write it gathers */
    volatile ngx_atomic_t  aborted;
#endif
} ngx_http_isapi_ctx_t;


#if (NGX_THREADS)
/* the worker's wake-up channel for its pool threads (see
 * ngx_http_isapi_wake) */
static ngx_connection_t    *ngx_http_isapi_waker;
static ngx_thread_mutex_t   ngx_http_isapi_woken_mutex;
static ngx_queue_t          ngx_http_isapi_woken_queue;
/* the turns of its pool threads at the temporary files (see
 * ngx_http_isapi_take_turn) */
static ngx_thread_mutex_t   ngx_http_isapi_turn_mutex;
static ngx_queue_t          ngx_http_isapi_turn_queue;
static ngx_uint_t           ngx_http_isapi_turn_taken;
static ngx_uint_t           ngx_http_isapi_calls;
#endif


/*
 * At most this many buffers of NGX_HTTP_ISAPI_BUFFER_SIZE bytes of one
 * answer are held while its client reads it.
 */
#define NGX_HTTP_ISAPI_BUFFERS      8
#define NGX_HTTP_ISAPI_BUFFER_SIZE  65536


static char *ngx_http_isapi(ngx_conf_t *cf, ngx_command_t *cmd, void *conf);
static char *ngx_http_isapi_thread_pool(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);
static void *ngx_http_isapi_create_main_conf(ngx_conf_t *cf);
static void *ngx_http_isapi_create_loc_conf(ngx_conf_t *cf);
static char *ngx_http_isapi_merge_loc_conf(ngx_conf_t *cf, void *parent,
    void *child);
static ngx_int_t ngx_http_isapi_check_modules(ngx_conf_t *cf);
static ngx_int_t ngx_http_isapi_init_process(ngx_cycle_t *cycle);
static void ngx_http_isapi_exit_process(ngx_cycle_t *cycle);
#if (NGX_THREADS)
static void ngx_http_isapi_end_taken(ngx_http_request_t *r,
    ngx_http_isapi_ctx_t *ctx);
#endif
static ngx_int_t ngx_http_isapi_handler(ngx_http_request_t *r);
static ngx_int_t ngx_http_isapi_filter_init(ngx_conf_t *cf);


static ngx_command_t  ngx_http_isapi_commands[] = {

    { ngx_string("isapi"),
      NGX_HTTP_LOC_CONF|NGX_CONF_TAKE1,
      ngx_http_isapi,
      NGX_HTTP_LOC_CONF_OFFSET,
      0,
      NULL },

    { ngx_string("isapi_thread_pool"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_TAKE1,
      ngx_http_isapi_thread_pool,
      NGX_HTTP_LOC_CONF_OFFSET,
      0,
      NULL },

#if (NGX_THREADS)
    { ngx_string("isapi_timeout"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_TAKE1,
      ngx_conf_set_msec_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_isapi_loc_conf_t, timeout),
      NULL },
#endif

    { ngx_string("isapi_temp_path"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_TAKE1234,
      ngx_conf_set_path_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_isapi_loc_conf_t, temp_path),
      NULL },

    { ngx_string("isapi_max_temp_file_size"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_TAKE1,
      ngx_conf_set_off_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_isapi_loc_conf_t, max_temp_file_size),
      NULL },

    { ngx_string("isapi_hold_limit"),
      NGX_HTTP_MAIN_CONF|NGX_CONF_TAKE1,
      ngx_conf_set_size_slot,
      NGX_HTTP_MAIN_CONF_OFFSET,
      offsetof(ngx_http_isapi_main_conf_t, hold_limit),
      NULL },

      ngx_null_command
};


static ngx_http_module_t  ngx_http_isapi_module_ctx = {
    NULL,                                  /* preconfiguration */
    ngx_http_isapi_check_modules,          /* postconfiguration */
    ngx_http_isapi_create_main_conf,       /* create main configuration */
    NULL,                                  /* init main configuration */
    NULL,                                  /* create server configuration */
    NULL,                                  /* merge server configuration */
    ngx_http_isapi_create_loc_conf,        /* create location configuration */
    ngx_http_isapi_merge_loc_conf          /* merge location configuration */
};


ngx_module_t  ngx_http_isapi_module = {
    NGX_MODULE_V1,
    &ngx_http_isapi_module_ctx,            /* module context */
    ngx_http_isapi_commands,               /* module directives */
    NGX_HTTP_MODULE,                       /* module type */
    NULL,                                  /* init master */
    NULL,                                  /* init module */
    ngx_http_isapi_init_process,           /* init process */
    NULL,                                  /* init thread */
    NULL,                                  /* exit thread */
    ngx_http_isapi_exit_process,           /* exit process */
    NULL,                                  /* exit master */
    NGX_MODULE_V1_PADDING
};


static ngx_http_module_t  ngx_http_isapi_filter_module_ctx = {
    NULL,                                  /* preconfiguration */
    ngx_http_isapi_filter_init,            /* postconfiguration */
    NULL,                                  /* create main configuration */
    NULL,                                  /* init main configuration */
    NULL,                                  /* create server configuration */
    NULL,                                  /* merge server configuration */
    NULL,                                  /* create location configuration */
    NULL                                   /* merge location configuration */
};


ngx_module_t  ngx_http_isapi_filter_module = {
    NGX_MODULE_V1,
    &ngx_http_isapi_filter_module_ctx,     /* module context */
    NULL,                                  /* module directives */
    NGX_HTTP_MODULE,                       /* module type */
    NULL,                                  /* init master */
    NULL,                                  /* init module */
    NULL,                                  /* init process */
    NULL,                                  /* init thread */
    NULL,                                  /* exit thread */
    NULL,                                  /* exit process */
    NULL,                                  /* exit master */
    NGX_MODULE_V1_PADDING
};


static ngx_http_output_header_filter_pt  ngx_http_next_header_filter;


/* The variables an extension installation is configured with. */
static const char  *ngx_http_isapi_installation_prefixes[] = {
    "ORVANE_INSDIR=", "WIN32_DRIVE_", NULL
};


static void *
ngx_http_isapi_create_main_conf(ngx_conf_t *cf)
{
    char                       **env, *equals;
    ngx_str_t                   *name;
    const char                 **prefix;
    ngx_http_isapi_main_conf_t   *imcf;

    imcf = ngx_pcalloc(cf->pool, sizeof(ngx_http_isapi_main_conf_t));
    if (imcf == NULL) {
        return NULL;
    }

    imcf->hold_limit = NGX_CONF_UNSET_SIZE;

    if (ngx_array_init(&imcf->extensions, cf->pool, 2,
                       sizeof(ngx_http_isapi_extension_t))
        != NGX_OK
        || ngx_array_init(&imcf->master_variables, cf->pool, 4,
                          sizeof(ngx_str_t))
           != NGX_OK)
    {
        return NULL;
    }

    /* The configuration is read in the master, with its whole environment. */
    for (env = environ; *env; env++) {
        for (prefix = ngx_http_isapi_installation_prefixes; *prefix; prefix++) {
            equals = strchr(*env, '=');
            if (equals == NULL
                || ngx_strncmp(*env, *prefix, ngx_strlen(*prefix)) != 0)
            {
                continue;
            }

            name = ngx_array_push(&imcf->master_variables);
            if (name == NULL) {
                return NULL;
            }

            name->len = equals - *env;
            name->data = ngx_pstrdup(cf->pool, &(ngx_str_t) { name->len,
                                                     (u_char *) *env });
            if (name->data == NULL) {
                return NULL;
            }
        }
    }

    return imcf;
}


static void *
ngx_http_isapi_create_loc_conf(ngx_conf_t *cf)
{
    ngx_http_isapi_loc_conf_t  *ilcf;

    ilcf = ngx_pcalloc(cf->pool, sizeof(ngx_http_isapi_loc_conf_t));
    if (ilcf == NULL) {
        return NULL;
    }

    ilcf->extension = NGX_CONF_UNSET_UINT;
#if (NGX_THREADS)
    ilcf->thread_pool = NGX_CONF_UNSET_PTR;
    ilcf->timeout = NGX_CONF_UNSET_MSEC;
#endif
    ilcf->max_temp_file_size = NGX_CONF_UNSET;

    return ilcf;
}


static char *
ngx_http_isapi_merge_loc_conf(ngx_conf_t *cf, void *parent, void *child)
{
    ngx_http_isapi_loc_conf_t  *prev = parent;
    ngx_http_isapi_loc_conf_t  *conf = child;

    ngx_conf_merge_uint_value(conf->extension, prev->extension,
                              NGX_CONF_UNSET_UINT);
    ngx_conf_merge_str_value(conf->script_name, prev->script_name, "");
#if (NGX_THREADS)
    ngx_conf_merge_ptr_value(conf->thread_pool, prev->thread_pool, NULL);
    ngx_conf_merge_msec_value(conf->timeout, prev->timeout, 0);
#endif
    if (conf->temp_path == NULL) {
        conf->temp_path = prev->temp_path;
    }
    ngx_conf_merge_off_value(conf->max_temp_file_size,
                             prev->max_temp_file_size, 1024 * 1024 * 1024);

    return NGX_CONF_OK;
}


/*
 * SCRIPT_NAME is the prefix of a prefix location, without a trailing
 * slash: in "location /app/" a request for /app/x has SCRIPT_NAME /app and
 * PATH_INFO /x. Regular expression and named locations have none, so the
 * whole path is PATH_INFO.
 */
static ngx_str_t
ngx_http_isapi_script_name(ngx_http_core_loc_conf_t *clcf)
{
    ngx_str_t  name;

    ngx_str_null(&name);

#if (NGX_PCRE)
    if (clcf->regex) {
        return name;
    }
#endif

    if (clcf->named) {
        return name;
    }

    name = clcf->name;
    while (name.len > 0 && name.data[name.len - 1] == '/') {
        name.len--;
    }

    return name;
}


static char *
ngx_http_isapi(ngx_conf_t *cf, ngx_command_t *cmd, void *conf)
{
    ngx_http_isapi_loc_conf_t  *ilcf = conf;

    ngx_str_t                   *value, path;
    ngx_uint_t                   i;
    ngx_http_core_loc_conf_t    *clcf;
    ngx_http_isapi_main_conf_t  *imcf;
    ngx_http_isapi_extension_t  *extension;

    if (ilcf->extension != NGX_CONF_UNSET_UINT) {
        return "is duplicate";
    }

    value = cf->args->elts;
    path = value[1];

    /* relative to the prefix, and NUL-terminated, as load_module does */
    if (ngx_conf_full_name(cf->cycle, &path, 0) != NGX_OK) {
        return NGX_CONF_ERROR;
    }

    imcf = ngx_http_conf_get_module_main_conf(cf, ngx_http_isapi_module);
    extension = imcf->extensions.elts;

    for (i = 0; i < imcf->extensions.nelts; i++) {
        if (extension[i].path.len == path.len
            && ngx_strncmp(extension[i].path.data, path.data, path.len) == 0)
        {
            break;
        }
    }

    if (i == imcf->extensions.nelts) {
        extension = ngx_array_push(&imcf->extensions);
        if (extension == NULL) {
            return NGX_CONF_ERROR;
        }

        extension->path = path;
        extension->loaded = NULL;
    }

    ilcf->extension = i;

    clcf = ngx_http_conf_get_module_loc_conf(cf, ngx_http_core_module);
    clcf->handler = ngx_http_isapi_handler;
    ilcf->script_name = ngx_http_isapi_script_name(clcf);

    return NGX_CONF_OK;
}


static char *
ngx_http_isapi_thread_pool(ngx_conf_t *cf, ngx_command_t *cmd, void *conf)
{
#if (NGX_THREADS)
    ngx_http_isapi_loc_conf_t  *ilcf = conf;

    ngx_str_t  *value;

    if (ilcf->thread_pool != NGX_CONF_UNSET_PTR) {
        return "is duplicate";
    }

    value = cf->args->elts;

    if (ngx_strcmp(value[1].data, "off") == 0) {
        ilcf->thread_pool = NULL;
        return NGX_CONF_OK;
    }

    ilcf->thread_pool = ngx_thread_pool_add(cf, &value[1]);
    if (ilcf->thread_pool == NULL) {
        return NGX_CONF_ERROR;
    }

    return NGX_CONF_OK;
#else
    return "needs nginx built with thread pools (--with-threads)";
#endif
}


/*
 * The user and groups a worker will have, as nginx's core module and
 * worker set them: only a master running as root switches, to the "user"
 * directive's or nginx's built-in user. A "user" directive after the http
 * block is not seen here yet.
 */
static ngx_int_t
ngx_http_isapi_worker_user(ngx_conf_t *cf, isapi_worker_identity *worker)
{
    struct group     *grp;
    struct passwd    *pwd;
    ngx_core_conf_t  *ccf;

    worker->switch_user = geteuid() == 0;
    if (!worker->switch_user) {
        return NGX_OK;
    }

    ccf = (ngx_core_conf_t *) ngx_get_conf(cf->cycle->conf_ctx,
                                           ngx_core_module);

    if (ccf->user != (ngx_uid_t) NGX_CONF_UNSET_UINT) {
        worker->user = ccf->user;
        worker->group = ccf->group;
        worker->user_name = ccf->username;
        return NGX_OK;
    }

    pwd = getpwnam(NGX_USER);
    grp = getgrnam(NGX_GROUP);
    if (pwd == NULL || grp == NULL) {
        /* nginx itself refuses to start then, and says why */
        worker->switch_user = 0;
        return NGX_OK;
    }

    worker->user = pwd->pw_uid;
    worker->group = grp->gr_gid;
    worker->user_name = NGX_USER;

    return NGX_OK;
}


static ngx_int_t
ngx_http_isapi_check_modules(ngx_conf_t *cf)
{
    char                         error[1024];
    ngx_int_t                    rc;
    ngx_uint_t                   i, last;
    isapi_worker_identity        worker;
    ngx_http_isapi_main_conf_t  *imcf;
    ngx_http_isapi_extension_t  *extension;

    imcf = ngx_http_conf_get_module_main_conf(cf, ngx_http_isapi_module);

    if (ngx_process == NGX_PROCESS_SIGNALLER || imcf->extensions.nelts == 0) {
        return NGX_OK;
    }

    ngx_memzero(&worker, sizeof(isapi_worker_identity));

    if (ngx_http_isapi_worker_user(cf, &worker) != NGX_OK) {
        return NGX_ERROR;
    }

    last = 0;
    worker.environment = ngx_set_environment(cf->cycle, &last);
    if (worker.environment == NULL) {
        return NGX_ERROR;
    }

    rc = NGX_OK;
    extension = imcf->extensions.elts;

    for (i = 0; i < imcf->extensions.nelts; i++) {
        if (isapi_module_check((const char *) extension[i].path.data, &worker,
                               error, sizeof(error))
            != 0)
        {
            ngx_log_error(NGX_LOG_EMERG, cf->log, 0, "isapi: %s", error);
            rc = NGX_ERROR;
            break;
        }
    }

    ngx_free((void *) worker.environment);

    return rc;
}


static void
ngx_http_isapi_warn_environment(ngx_cycle_t *cycle,
    ngx_http_isapi_main_conf_t *imcf)
{
    u_char      name[256];
    ngx_str_t  *variable;
    ngx_uint_t  i;

    variable = imcf->master_variables.elts;

    for (i = 0; i < imcf->master_variables.nelts; i++) {
        if (variable[i].len >= sizeof(name)) {
            continue;
        }

        ngx_cpystrn(name, variable[i].data, variable[i].len + 1);

        if (getenv((char *) name) == NULL) {
            ngx_log_error(NGX_LOG_WARN, cycle->log, 0,
                          "isapi: %V is set in nginx's environment but "
                          "worker processes do not get it; add \"env %V;\" "
                          "to the main configuration",
                          &variable[i], &variable[i]);
        }
    }
}


static ngx_int_t
ngx_http_isapi_init_process(ngx_cycle_t *cycle)
{
    char                         error[1024];
    uint64_t                     hold_limit;
    ngx_uint_t                   i;
    ngx_http_isapi_main_conf_t  *imcf;
    ngx_http_isapi_extension_t  *extension;

    imcf = ngx_http_cycle_get_module_main_conf(cycle, ngx_http_isapi_module);
    if (imcf == NULL || imcf->extensions.nelts == 0) {
        return NGX_OK;
    }

    hold_limit = imcf->hold_limit == NGX_CONF_UNSET_SIZE
                 ? isapi_default_hold_limit : imcf->hold_limit;

    /* every worker gets the same environment: one of them says so */
    if (ngx_worker == 0) {
        ngx_http_isapi_warn_environment(cycle, imcf);
    }

    extension = imcf->extensions.elts;

    for (i = 0; i < imcf->extensions.nelts; i++) {
        extension[i].loaded = isapi_module_load((const char *)
                                                extension[i].path.data,
                                                hold_limit, error,
                                                sizeof(error));
        if (extension[i].loaded == NULL) {
            ngx_log_error(NGX_LOG_ALERT, cycle->log, 0,
                          "isapi: %s; its locations answer 503", error);
        }
    }

    return NGX_OK;
}


static void
ngx_http_isapi_exit_process(ngx_cycle_t *cycle)
{
    ngx_uint_t                   i;
    ngx_http_isapi_main_conf_t  *imcf;
    ngx_http_isapi_extension_t  *extension;

    imcf = ngx_http_cycle_get_module_main_conf(cycle, ngx_http_isapi_module);
    if (imcf == NULL) {
        return;
    }

    extension = imcf->extensions.elts;

    for (i = 0; i < imcf->extensions.nelts; i++) {
        isapi_module_unload(extension[i].loaded);
        extension[i].loaded = NULL;
    }

#if (NGX_THREADS)
    /* no pool thread is in a module any more to wake the worker */
    if (ngx_http_isapi_waker != NULL) {
        ngx_close_connection(ngx_http_isapi_waker);
        ngx_thread_mutex_destroy(&ngx_http_isapi_woken_mutex, cycle->log);
        ngx_thread_mutex_destroy(&ngx_http_isapi_turn_mutex, cycle->log);
        ngx_http_isapi_waker = NULL;
    }
#endif
}


/*
 * The module's Content-Type line keeps its place and spelling, while its
 * value is in headers_out.content_type for nginx's filters that choose by
 * MIME type or charset (gzip, charset, sub). Here, after them and just
 * before nginx writes the header, their result goes back into the module's
 * line, written as nginx would write it, and headers_out gives it up so
 * that nginx does not write a second Content-Type line.
 */
static ngx_int_t
ngx_http_isapi_header_filter(ngx_http_request_t *r)
{
    u_char                *p;
    ngx_str_t             *type, *charset;
    ngx_table_elt_t       *h;
    ngx_http_isapi_ctx_t  *ctx;

    ctx = ngx_http_get_module_ctx(r, ngx_http_isapi_module);

    if (ctx == NULL || ctx->content_type == NULL) {
        return ngx_http_next_header_filter(r);
    }

    h = ctx->content_type;
    type = &r->headers_out.content_type;
    charset = &r->headers_out.charset;

    if (type->len == 0) {
        h->hash = 0;

    } else if (r->headers_out.content_type_len == type->len && charset->len) {
        p = ngx_pnalloc(r->pool, type->len + sizeof("; charset=") - 1
                                 + charset->len);
        if (p == NULL) {
            return NGX_ERROR;
        }

        h->value.data = p;
        p = ngx_cpymem(p, type->data, type->len);
        p = ngx_cpymem(p, "; charset=", sizeof("; charset=") - 1);
        p = ngx_cpymem(p, charset->data, charset->len);
        h->value.len = p - h->value.data;

    } else {
        h->value = *type;
    }

    ngx_str_null(type);
    ngx_str_null(charset);
    r->headers_out.content_type_len = 0;
    r->headers_out.content_type_lowcase = NULL;

    return ngx_http_next_header_filter(r);
}


static ngx_int_t
ngx_http_isapi_filter_init(ngx_conf_t *cf)
{
    ngx_http_next_header_filter = ngx_http_top_header_filter;
    ngx_http_top_header_filter = ngx_http_isapi_header_filter;

    return NGX_OK;
}


static isapi_text
ngx_http_isapi_text(ngx_str_t *s)
{
    isapi_text  text;

    text.data = s->data ? (const char *) s->data : "";
    text.len = s->data ? s->len : 0;

    return text;
}


static ngx_int_t
ngx_http_isapi_collect_headers(ngx_http_request_t *r, isapi_request *request)
{
    ngx_uint_t        i, n;
    isapi_field      *fields;
    ngx_list_part_t  *part;
    ngx_table_elt_t  *header;

    n = 0;
    for (part = &r->headers_in.headers.part; part; part = part->next) {
        n += part->nelts;
    }

    fields = ngx_palloc(r->pool, (n ? n : 1) * sizeof(isapi_field));
    if (fields == NULL) {
        return NGX_ERROR;
    }

    n = 0;
    for (part = &r->headers_in.headers.part; part; part = part->next) {
        header = part->elts;
        for (i = 0; i < part->nelts; i++) {
            fields[n].name = ngx_http_isapi_text(&header[i].key);
            fields[n].value = ngx_http_isapi_text(&header[i].value);
            n++;
        }
    }

    request->headers = fields;
    request->header_count = n;

    return NGX_OK;
}


/* Copies the next bytes of nginx's request body: its buffers in memory,
 * then what it spooled to a temporary file. */
static int64_t
ngx_http_isapi_copy_body(ngx_http_isapi_ctx_t *ctx, u_char *buffer,
    size_t size)
{
    off_t       left;
    size_t      n;
    ssize_t     got;
    int64_t     copied;
    ngx_buf_t  *b;

    copied = 0;

    while (size > 0 && ctx->body != NULL) {
        b = ctx->body->buf;
        left = ngx_buf_size(b) - ctx->body_offset;
        n = (size_t) ngx_min((off_t) size, left);

        if (ngx_buf_in_memory(b)) {
            ngx_memcpy(buffer, b->pos + ctx->body_offset, n);

        } else if (n > 0) {
            got = pread(b->file->fd, buffer, n, b->file_pos + ctx->body_offset);
            if (got == -1 && ngx_errno == NGX_EINTR) {
                continue;
            }

            if (got <= 0) {
                return -1;
            }

            n = (size_t) got;
        }

        buffer += n;
        size -= n;
        copied += n;

        if ((off_t) n == left) {
            ctx->body = ctx->body->next;
            ctx->body_offset = 0;

        } else {
            ctx->body_offset += n;
        }
    }

    return copied;
}


static int64_t
ngx_http_isapi_read_body(void *data, void *buffer, size_t size)
{
    ngx_http_isapi_ctx_t  *ctx = data;

    int64_t  copied;

#if (NGX_THREADS)
    /* ReadClient on a pool thread: unless the worker gave the request up;
     * while the call is copied, its copier holds the mutex */
    if (ctx->in_module) {
        ngx_thread_mutex_lock(&ctx->mutex, ngx_cycle->log);
        copied = ctx->aborted ? -1 : ngx_http_isapi_copy_body(ctx, buffer, size);
        ngx_thread_mutex_unlock(&ctx->mutex, ngx_cycle->log);
        return copied;
    }
#endif

    copied = ngx_http_isapi_copy_body(ctx, buffer, size);

    return copied;
}


static ngx_int_t
ngx_http_isapi_build_request(ngx_http_request_t *r,
    ngx_http_isapi_loc_conf_t *ilcf, ngx_http_isapi_ctx_t *ctx)
{
    u_char            *addr;
    ngx_str_t          local;
    ngx_chain_t       *cl;
    isapi_request     *request;
    ngx_connection_t  *c;

    static ngx_str_t   software = ngx_string(NGINX_VER);

    c = r->connection;
    request = &ctx->call;

    addr = ngx_pnalloc(r->pool, NGX_SOCKADDR_STRLEN);
    if (addr == NULL) {
        return NGX_ERROR;
    }

    local.data = addr;
    local.len = NGX_SOCKADDR_STRLEN;

    if (ngx_connection_local_sockaddr(c, &local, 0) != NGX_OK) {
        return NGX_ERROR;
    }

    request->method = ngx_http_isapi_text(&r->method_name);
    request->target = ngx_http_isapi_text(&r->unparsed_uri);
    request->path = ngx_http_isapi_text(&r->uri);
    request->query = ngx_http_isapi_text(&r->args);
    request->script_name = ngx_http_isapi_text(&ilcf->script_name);
    request->protocol = ngx_http_isapi_text(&r->http_protocol);
    request->remote_addr = ngx_http_isapi_text(&c->addr_text);
    request->remote_port = ngx_inet_get_port(c->sockaddr);
    request->local_addr = ngx_http_isapi_text(&local);
    request->local_port = ngx_inet_get_port(c->local_sockaddr);
    request->server_software = ngx_http_isapi_text(&software);
    request->https = 0;

#if (NGX_HTTP_SSL)
    request->https = c->ssl != NULL;
#endif

    if (ngx_http_isapi_collect_headers(r, request) != NGX_OK) {
        return NGX_ERROR;
    }

    request->body_size = 0;
    request->read_body = ngx_http_isapi_read_body;
    request->read_body_data = ctx;

    if (r->request_body == NULL) {
        return NGX_OK;
    }

    ctx->body = r->request_body->bufs;

    for (cl = ctx->body; cl; cl = cl->next) {
        request->body_size += ngx_buf_size(cl->buf);
    }

    return NGX_OK;
}


static ngx_table_elt_t *
ngx_http_isapi_add_header(ngx_http_request_t *r, const isapi_field *field)
{
    ngx_table_elt_t  *h;

    h = ngx_list_push(&r->headers_out.headers);
    if (h == NULL) {
        return NULL;
    }

    h->hash = 1;
    h->key.data = (u_char *) field->name.data;
    h->key.len = field->name.len;
    h->value.data = (u_char *) field->value.data;
    h->value.len = field->value.len;
#if (nginx_version >= 1023000)
    h->next = NULL;
#endif

    h->lowcase_key = ngx_pnalloc(r->pool, h->key.len);
    if (h->lowcase_key == NULL) {
        return NULL;
    }

    ngx_strlow(h->lowcase_key, h->key.data, h->key.len);

    return h;
}


/*
 * How the module's header lines reach nginx, as nginx's upstream modules
 * pass a backend's: lines nginx's filters act on go into their headers_out
 * fields as well, hop-by-hop lines stay with the hop they came from. The
 * line itself stays in the header list as the module spelled it.
 */
typedef ngx_int_t (*ngx_http_isapi_header_pt)(ngx_http_request_t *r,
    ngx_http_isapi_ctx_t *ctx, ngx_table_elt_t *h, ngx_uint_t offset);

typedef struct {
    ngx_str_t                  name;
    ngx_http_isapi_header_pt   handler;
    ngx_uint_t                 offset;
} ngx_http_isapi_header_t;


static ngx_int_t
ngx_http_isapi_set_field(ngx_http_request_t *r, ngx_http_isapi_ctx_t *ctx,
    ngx_table_elt_t *h, ngx_uint_t offset)
{
    *(ngx_table_elt_t **) ((char *) &r->headers_out + offset) = h;
    return NGX_OK;
}


static ngx_int_t
ngx_http_isapi_hide(ngx_http_request_t *r, ngx_http_isapi_ctx_t *ctx,
    ngx_table_elt_t *h, ngx_uint_t offset)
{
    h->hash = 0;
    return NGX_OK;
}


static ngx_int_t
ngx_http_isapi_connection(ngx_http_request_t *r, ngx_http_isapi_ctx_t *ctx,
    ngx_table_elt_t *h, ngx_uint_t offset)
{
    if (ngx_strlcasestrn(h->value.data, h->value.data + h->value.len,
                         (u_char *) "close", 5 - 1))
    {
        r->keepalive = 0;
    }

    h->hash = 0;
    return NGX_OK;
}


/* The media type is what comes before any parameter; a charset parameter
 * goes where nginx's charset filter looks for it. */
static ngx_int_t
ngx_http_isapi_content_type(ngx_http_request_t *r, ngx_http_isapi_ctx_t *ctx,
    ngx_table_elt_t *h, ngx_uint_t offset)
{
    u_char  *p, *last;

    /* the first line counts, as for a proxied answer; a later one would
     * go out beside it */
    if (ctx->content_type != NULL) {
        h->hash = 0;
        return NGX_OK;
    }

    ctx->content_type = h;
    r->headers_out.content_type = h->value;
    r->headers_out.content_type_len = h->value.len;
    r->headers_out.content_type_lowcase = NULL;

    p = ngx_strlchr(h->value.data, h->value.data + h->value.len, ';');
    if (p == NULL) {
        return NGX_OK;
    }

    last = h->value.data + h->value.len;
    r->headers_out.content_type_len = p - h->value.data;
    while (r->headers_out.content_type_len > 0
           && (h->value.data[r->headers_out.content_type_len - 1] == ' '
               || h->value.data[r->headers_out.content_type_len - 1] == '\t'))
    {
        r->headers_out.content_type_len--;
    }

    p = ngx_strlcasestrn(p, last, (u_char *) "charset=", 8 - 1);
    if (p == NULL) {
        return NGX_OK;
    }

    p += 8;
    r->headers_out.charset.data = p;
    while (p < last && *p != ';' && *p != ' ' && *p != '\t') {
        p++;
    }
    r->headers_out.charset.len = p - r->headers_out.charset.data;

    if (r->headers_out.charset.len >= 2
        && r->headers_out.charset.data[0] == '"'
        && p[-1] == '"')
    {
        r->headers_out.charset.data++;
        r->headers_out.charset.len -= 2;
    }

    return NGX_OK;
}


/* Relative redirects stay as the module wrote them: nginx would make
 * them absolute with its own idea of the host. */
static ngx_int_t
ngx_http_isapi_location(ngx_http_request_t *r, ngx_http_isapi_ctx_t *ctx,
    ngx_table_elt_t *h, ngx_uint_t offset)
{
    if (h->value.len > 0 && h->value.data[0] != '/') {
        r->headers_out.location = h;
    }

    return NGX_OK;
}


static ngx_int_t
ngx_http_isapi_last_modified(ngx_http_request_t *r, ngx_http_isapi_ctx_t *ctx,
    ngx_table_elt_t *h, ngx_uint_t offset)
{
    r->headers_out.last_modified = h;
    r->headers_out.last_modified_time = ngx_parse_http_time(h->value.data,
                                                            h->value.len);
    return NGX_OK;
}


static ngx_int_t
ngx_http_isapi_add_to_list(ngx_http_request_t *r, ngx_http_isapi_ctx_t *ctx,
    ngx_table_elt_t *h, ngx_uint_t offset)
{
#if (nginx_version >= 1023000)
    ngx_table_elt_t  **last;

    for (last = (ngx_table_elt_t **) ((char *) &r->headers_out + offset);
         *last;
         last = &(*last)->next)
    {
        /* void */
    }

    *last = h;
#else
    ngx_array_t       *lines;
    ngx_table_elt_t  **slot;

    lines = (ngx_array_t *) ((char *) &r->headers_out + offset);

    if (lines->elts == NULL
        && ngx_array_init(lines, r->pool, 1, sizeof(ngx_table_elt_t *))
           != NGX_OK)
    {
        return NGX_ERROR;
    }

    slot = ngx_array_push(lines);
    if (slot == NULL) {
        return NGX_ERROR;
    }

    *slot = h;
#endif

    return NGX_OK;
}


#define ngx_http_isapi_field(name)  offsetof(ngx_http_headers_out_t, name)

static ngx_http_isapi_header_t  ngx_http_isapi_headers[] = {
    { ngx_string("Content-Type"), ngx_http_isapi_content_type, 0 },
    { ngx_string("Content-Length"), ngx_http_isapi_set_field,
      ngx_http_isapi_field(content_length) },
    { ngx_string("Content-Encoding"), ngx_http_isapi_set_field,
      ngx_http_isapi_field(content_encoding) },
    { ngx_string("Server"), ngx_http_isapi_set_field,
      ngx_http_isapi_field(server) },
    { ngx_string("Date"), ngx_http_isapi_set_field,
      ngx_http_isapi_field(date) },
    { ngx_string("ETag"), ngx_http_isapi_set_field,
      ngx_http_isapi_field(etag) },
    { ngx_string("Expires"), ngx_http_isapi_set_field,
      ngx_http_isapi_field(expires) },
#if (nginx_version >= 1023000)
    { ngx_string("WWW-Authenticate"), ngx_http_isapi_add_to_list,
      ngx_http_isapi_field(www_authenticate) },
#else
    { ngx_string("WWW-Authenticate"), ngx_http_isapi_set_field,
      ngx_http_isapi_field(www_authenticate) },
#endif
    { ngx_string("Cache-Control"), ngx_http_isapi_add_to_list,
      ngx_http_isapi_field(cache_control) },
    { ngx_string("Location"), ngx_http_isapi_location, 0 },
    { ngx_string("Last-Modified"), ngx_http_isapi_last_modified, 0 },
    { ngx_string("Connection"), ngx_http_isapi_connection, 0 },
    { ngx_string("Keep-Alive"), ngx_http_isapi_hide, 0 },
    { ngx_string("Proxy-Connection"), ngx_http_isapi_hide, 0 },
    { ngx_string("TE"), ngx_http_isapi_hide, 0 },
    { ngx_string("Trailer"), ngx_http_isapi_hide, 0 },
    { ngx_string("Upgrade"), ngx_http_isapi_hide, 0 },
    { ngx_null_string, NULL, 0 }
};


static ngx_int_t
ngx_http_isapi_translate(ngx_http_request_t *r, ngx_http_isapi_ctx_t *ctx,
    ngx_table_elt_t *h)
{
    ngx_http_isapi_header_t  *known;

    for (known = ngx_http_isapi_headers; known->name.len; known++) {
        if (known->name.len == h->key.len
            && ngx_strncasecmp(known->name.data, h->key.data, h->key.len)
               == 0)
        {
            return known->handler(r, ctx, h, known->offset);
        }
    }

    return NGX_OK;
}


/*
 * The status line as nginx writes it for the statuses it knows. Where
 * the module's own text says the same, nginx writes the status line
 * itself, and its handling of statuses such as 204 applies.
 */
static ngx_int_t
ngx_http_isapi_standard_status(ngx_uint_t status, isapi_text *text)
{
    static const char  *lines[] = {
        "200 OK", "201 Created", "202 Accepted", "204 No Content",
        "206 Partial Content", "301 Moved Permanently", "303 See Other",
        "304 Not Modified", "307 Temporary Redirect", "400 Bad Request",
        "401 Unauthorized", "403 Forbidden", "404 Not Found", "409 Conflict",
        "410 Gone", "500 Internal Server Error", "501 Not Implemented",
        "502 Bad Gateway", NULL
    };

    const char  **line;

    /* "200" alone: nginx adds its reason phrase, or a space after an
     * unknown code */
    if (text->len == 3) {
        return 1;
    }

    for (line = lines; *line; line++) {
        if (ngx_strlen(*line) == text->len
            && ngx_strncmp(*line, text->data, text->len) == 0)
        {
            return 1;
        }
    }

    return 0;
}


static void
ngx_http_isapi_release(void *data)
{
    isapi_answer_release(data);
}


/*
 * Hands the module's status and header to nginx, through the table above.
 * 204 and 304 answers carry no length, nor does one whose length neither
 * the module nor the core knows. The head's storage stays with the
 * request.
 */
static ngx_int_t
ngx_http_isapi_send_head(ngx_http_request_t *r, ngx_http_isapi_ctx_t *ctx,
    isapi_answer *head)
{
    ngx_uint_t           i;
    isapi_answer        *kept;
    ngx_table_elt_t     *h;
    ngx_pool_cleanup_t  *cln;

    cln = ngx_pool_cleanup_add(r->pool, sizeof(isapi_answer));
    if (cln == NULL) {
        isapi_answer_release(head);
        return NGX_ERROR;
    }

    kept = cln->data;
    *kept = *head;
    cln->handler = ngx_http_isapi_release;

    ctx->head_sent = 1;

    if (kept->replaces_module_answer) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "isapi: the module sent no valid status and header "
                      "block, or a body shorter than announced; "
                      "answering 500");
    }

    r->headers_out.status = kept->status;
    r->disable_not_modified = 1;

    if (!ngx_http_isapi_standard_status(kept->status, &kept->status_line)) {
        r->headers_out.status_line.data = (u_char *) kept->status_line.data;
        r->headers_out.status_line.len = kept->status_line.len;
    }

    for (i = 0; i < kept->header_count; i++) {
        h = ngx_http_isapi_add_header(r, &kept->headers[i]);
        if (h == NULL
            || ngx_http_isapi_translate(r, ctx, h) != NGX_OK)
        {
            return NGX_ERROR;
        }
    }

    if (!kept->status_has_body) {
        if (r->headers_out.content_length) {
            r->headers_out.content_length->hash = 0;
            r->headers_out.content_length = NULL;
        }

        r->headers_out.content_length_n = -1;
        r->header_only = 1;

    } else if (kept->framing == ISAPI_FRAMING_UNKNOWN) {
        r->headers_out.content_length_n = -1;

    } else {
        r->headers_out.content_length_n = (off_t) kept->content_length;
    }

    if (!kept->keep_conn) {
        r->keepalive = 0;
    }

    return ngx_http_send_header(r);
}


/* This request's temporary file, not yet opened the first time. */
static ngx_temp_file_t *
ngx_http_isapi_temp_file(ngx_http_request_t *r, ngx_http_isapi_ctx_t *ctx)
{
    ngx_temp_file_t            *tf;
    ngx_http_core_loc_conf_t   *clcf;
    ngx_http_isapi_loc_conf_t  *ilcf;

    if (ctx->temp_file != NULL) {
        return ctx->temp_file;
    }

    tf = ngx_pcalloc(r->pool, sizeof(ngx_temp_file_t));
    if (tf == NULL) {
        return NULL;
    }

    ilcf = ngx_http_get_module_loc_conf(r, ngx_http_isapi_module);
    clcf = ngx_http_get_module_loc_conf(r, ngx_http_core_module);

    tf->file.fd = NGX_INVALID_FILE;
    tf->file.log = r->connection->log;
    tf->path = ilcf->temp_path ? ilcf->temp_path
                               : clcf->client_body_temp_path;
    tf->pool = r->pool;
    tf->warn = "an isapi answer is buffered to a temporary file";
    tf->log_level = NGX_LOG_WARN;
    ctx->temp_file = tf;

    return tf;
}


/* The temporary file up to `end` joins the piece not yet passed to nginx. */
static ngx_int_t
ngx_http_isapi_add_spilled(ngx_http_request_t *r, ngx_http_isapi_ctx_t *ctx,
    off_t end)
{
    ngx_buf_t        *b;
    ngx_chain_t      *cl;
    ngx_temp_file_t  *tf;

    tf = ctx->temp_file;

    if (ctx->spilled == NULL) {
        b = ngx_calloc_buf(r->pool);
        cl = ngx_alloc_chain_link(r->pool);
        if (b == NULL || cl == NULL) {
            return NGX_ERROR;
        }

        b->in_file = 1;
        b->file = &tf->file;
        b->file_pos = tf->offset;
        b->tag = (ngx_buf_tag_t) &ngx_http_isapi_module;
        cl->buf = b;
        cl->next = NULL;
        ctx->spilled = cl;
    }

    tf->offset = end;
    ctx->spilled->buf->file_last = end;

    return NGX_OK;
}


/*
 * Appends the module's bytes to this request's temporary file, as nginx's
 * upstream modules keep what a client cannot take yet: NGX_DECLINED when
 * they would take it past isapi_max_temp_file_size.
 */
static ngx_int_t
ngx_http_isapi_spill(ngx_http_request_t *r, ngx_http_isapi_ctx_t *ctx,
    const char *bytes, size_t size)
{
    ssize_t                     n;
    ngx_buf_t                   in;
    ngx_chain_t                 chain;
    ngx_temp_file_t            *tf;
    ngx_http_isapi_loc_conf_t  *ilcf;

    ilcf = ngx_http_get_module_loc_conf(r, ngx_http_isapi_module);
    tf = ngx_http_isapi_temp_file(r, ctx);
    if (tf == NULL) {
        return NGX_ERROR;
    }

    if ((off_t) size > ilcf->max_temp_file_size - tf->offset) {
        return NGX_DECLINED;
    }

    ngx_memzero(&in, sizeof(ngx_buf_t));
    in.pos = (u_char *) bytes;
    in.last = in.pos + size;
    in.memory = 1;
    chain.buf = &in;
    chain.next = NULL;

    n = ngx_write_chain_to_temp_file(tf, &chain);
    if (n == NGX_ERROR) {
        return NGX_ERROR;
    }

    return ngx_http_isapi_add_spilled(r, ctx, tf->offset + n);
}


/*
 * Copies what it can of the module's bytes into this request's buffers
 * and passes the full ones to nginx's output filters, and with `flush` the
 * one being filled too; *bytes and *left say what is left. Buffers come
 * back once nginx has sent them, so that at most NGX_HTTP_ISAPI_BUFFERS of
 * them are held in memory for a client that reads slowly, however small
 * the module's writes. What does not fit goes to the temporary file, and
 * all that follows it too, until that piece is passed on: once it is a
 * buffer's size, or with `flush` once the client has taken all before it.
 * While a pool thread runs the module, it writes the file itself, and
 * what does not fit stays in *bytes.
 */
static ngx_int_t
ngx_http_isapi_output(ngx_http_request_t *r, ngx_http_isapi_ctx_t *ctx,
    const char **bytes, size_t *left, ngx_uint_t flush)
{
    size_t        n;
    ngx_int_t     rc;
    ngx_buf_t    *b;
    ngx_chain_t  *out, **last, *cl;

    for ( ;; ) {
        out = NULL;
        last = &out;

        while (*left > 0 && ctx->spilled == NULL) {
            if (ctx->filling == NULL) {
                if (ctx->free) {
                    cl = ctx->free;
                    ctx->free = cl->next;
                    b = cl->buf;

                    if (b->start == NULL) {
                        /* a piece of the temporary file, sent */
                        continue;
                    }

                } else if (ctx->buffers < NGX_HTTP_ISAPI_BUFFERS) {
                    b = ngx_create_temp_buf(r->pool,
                                            NGX_HTTP_ISAPI_BUFFER_SIZE);
                    cl = ngx_alloc_chain_link(r->pool);
                    if (b == NULL || cl == NULL) {
                        return NGX_ERROR;
                    }

                    b->tag = (ngx_buf_tag_t) &ngx_http_isapi_module;
                    cl->buf = b;
                    ctx->buffers++;

                } else {
                    break;
                }

                b->pos = b->start;
                b->last = b->start;
                b->flush = 0;
                cl->next = NULL;
                ctx->filling = cl;
            }

            b = ctx->filling->buf;
            n = ngx_min(*left, (size_t) (b->end - b->last));
            b->last = ngx_cpymem(b->last, *bytes, n);
            *bytes += n;
            *left -= n;

            if (b->last == b->end) {
                *last = ctx->filling;
                last = &ctx->filling->next;
                ctx->filling = NULL;
            }
        }

        if (*left > 0 && !ctx->thread_spills) {
            rc = ngx_http_isapi_spill(r, ctx, *bytes, *left);
            if (rc == NGX_ERROR) {
                return NGX_ERROR;
            }

            if (rc == NGX_OK) {
                *bytes += *left;
                *left = 0;
            }
        }

        if (flush && *left == 0 && ctx->filling) {
            ctx->filling->buf->flush = 1;
            *last = ctx->filling;
            last = &ctx->filling->next;
            ctx->filling = NULL;
        }

        if (ctx->spilled
            && (ngx_buf_size(ctx->spilled->buf) >= NGX_HTTP_ISAPI_BUFFER_SIZE
                || (flush && ctx->busy == NULL)))
        {
            ctx->spilled->buf->flush = flush;
            *last = ctx->spilled;
            ctx->spilled = NULL;
        }

        rc = ngx_http_output_filter(r, out);
        if (rc == NGX_ERROR) {
            return NGX_ERROR;
        }

        ngx_chain_update_chains(r->pool, &ctx->free, &ctx->busy, &out,
                                (ngx_buf_tag_t) &ngx_http_isapi_module);

        if (*left == 0 || ctx->free == NULL || ctx->spilled != NULL) {
            return NGX_OK;
        }
    }
}


/* Ends the request once the module is done with it. */
static void
ngx_http_isapi_end(ngx_http_request_t *r, ngx_http_isapi_ctx_t *ctx)
{
    size_t        none;
    ngx_int_t     rc;
    ngx_buf_t    *b;
    ngx_chain_t   out, *cl;

    if (!ctx->head_sent) {
        /* a header nginx could not send has been logged where it failed */
        if (!ctx->failed) {
            ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                          "isapi: the request could not be run (no memory "
                          "or an unreadable request body)");
        }

        ngx_http_finalize_request(r, ctx->failed
                                     ? NGX_ERROR
                                     : NGX_HTTP_INTERNAL_SERVER_ERROR);
        return;
    }

    if (!ctx->complete && !ctx->failed) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "isapi: the module's answer is shorter than it "
                      "announced; the connection is closed");
    }

    if (!ctx->complete || ctx->failed) {
        /* the client must not take a cut answer for a whole one */
        ngx_http_finalize_request(r, NGX_ERROR);
        return;
    }

    if (r->header_only) {
        ngx_http_finalize_request(r, NGX_OK);
        return;
    }

    /* what the module wrote last */
    none = 0;
    if (ngx_http_isapi_output(r, ctx, NULL, &none, 1) != NGX_OK) {
        ngx_http_finalize_request(r, NGX_ERROR);
        return;
    }

    b = ngx_calloc_buf(r->pool);
    if (b == NULL) {
        ngx_http_finalize_request(r, NGX_ERROR);
        return;
    }

    b->last_buf = (r == r->main) ? 1 : 0;
    b->last_in_chain = 1;
    b->sync = 1;

    out.buf = b;
    out.next = NULL;

    /* and the last piece of the temporary file before it */
    cl = &out;
    if (ctx->spilled) {
        cl = ctx->spilled;
        cl->next = &out;
        ctx->spilled = NULL;
    }

    rc = ngx_http_output_filter(r, cl);
    ngx_http_finalize_request(r, rc);
}


/*
 * The module in the event loop: its answer goes to nginx as it writes it.
 * What nginx cannot send at once is kept, in memory and then in the
 * temporary file; past isapi_max_temp_file_size the module's write fails
 * and the client's connection is closed, since the worker cannot wait for
 * the client here.
 */
static int
ngx_http_isapi_loop_head(void *data, isapi_answer *head)
{
    ngx_http_isapi_ctx_t  *ctx = data;

    ngx_int_t  rc;

    rc = ngx_http_isapi_send_head(ctx->request, ctx, head);
    if (rc == NGX_ERROR || rc > NGX_OK) {
        ctx->failed = 1;
        return -1;
    }

    return 0;
}


static int
ngx_http_isapi_loop_body(void *data, const char *bytes, size_t size)
{
    ngx_http_isapi_ctx_t  *ctx = data;

    if (ctx->failed) {
        return -1;
    }

    if (ngx_http_isapi_output(ctx->request, ctx, &bytes, &size, 0) != NGX_OK) {
        ctx->failed = 1;
        return -1;
    }

    if (size > 0) {
        /* the client's doing, logged as nginx logs a client's faults */
        ngx_log_error(NGX_LOG_INFO, ctx->request->connection->log, 0,
                      "isapi: the client takes the answer more slowly than "
                      "the module writes it, and more than "
                      "isapi_max_temp_file_size would be kept; the "
                      "connection is closed (isapi_thread_pool makes the "
                      "module wait instead)");
        ctx->failed = 1;
        return -1;
    }

    return 0;
}


static void
ngx_http_isapi_loop_finish(void *data, int complete)
{
    ngx_http_isapi_ctx_t  *ctx = data;

    ctx->complete = complete != 0;
}


#if (NGX_THREADS)

/*
 * Requests of this worker that are inside a module on a thread pool. While
 * there are any, a timer that does not let a graceful exit proceed stays
 * armed: nginx ends a quitting worker once only cancelable timers are left.
 */
static ngx_uint_t        ngx_http_isapi_running;
static ngx_event_t       ngx_http_isapi_running_guard;
/* nginx's timer code logs the descriptor of an event's connection */
static ngx_connection_t  ngx_http_isapi_guard_connection;

#define NGX_HTTP_ISAPI_GUARD_MSEC  3600000


static void
ngx_http_isapi_guard_handler(ngx_event_t *ev)
{
    if (ngx_http_isapi_running > 0) {
        ngx_add_timer(ev, NGX_HTTP_ISAPI_GUARD_MSEC);
    }
}


static void
ngx_http_isapi_count_running(ngx_int_t change)
{
    ngx_http_isapi_running += change;

    if (ngx_http_isapi_running > 0 && !ngx_http_isapi_running_guard.timer_set) {
        ngx_http_isapi_guard_connection.fd = (ngx_socket_t) -1;
        ngx_http_isapi_running_guard.data = &ngx_http_isapi_guard_connection;
        ngx_http_isapi_running_guard.handler = ngx_http_isapi_guard_handler;
        ngx_http_isapi_running_guard.log = ngx_cycle->log;
        ngx_add_timer(&ngx_http_isapi_running_guard, NGX_HTTP_ISAPI_GUARD_MSEC);

    } else if (ngx_http_isapi_running == 0
               && ngx_http_isapi_running_guard.timer_set)
    {
        ngx_del_timer(&ngx_http_isapi_running_guard);
    }
}


/*
 * The module on a thread pool. The pool thread gathers the module's writes
 * in a buffer of NGX_HTTP_ISAPI_BUFFER_SIZE bytes; the head and what is
 * gathered go to the event loop at the call's end, so that an answer that
 * fits costs the worker no wake-up of its own. A full buffer, or a write
 * too big for it, is handed over under ctx->mutex, waking the event loop,
 * and the module waits until the event loop has copied it into nginx's
 * buffers. Once those are full the pool thread writes to the temporary
 * file itself and wakes the event loop only to pass the new part of the
 * file on: a long answer's disk writes do not hold up the worker's other
 * connections. A client too slow even for isapi_max_temp_file_size makes
 * the module wait rather than the worker hold the answer.
 * ctx lives on the heap: a request the worker gives up on (isapi_timeout,
 * a client or a quitting worker gone) leaves it to the pool thread, which
 * may still be inside the module, and the completion handler frees it
 * then.
 *
 * One eventfd per worker wakes the event loop for all of its requests: a
 * pool thread queues its request's ctx and signals the eventfd when the
 * queue was empty. Its connection counts as a channel, so that neither
 * worker_shutdown_timeout nor a quitting worker takes it for a client's.
 */


/* Called with ctx->mutex held. */
static void
ngx_http_isapi_wake(ngx_http_isapi_ctx_t *ctx)
{
    uint64_t    one = 1;
    ngx_uint_t  first;

    if (ctx->detached) {
        return;
    }

    ngx_thread_mutex_lock(&ngx_http_isapi_woken_mutex, ngx_cycle->log);

    first = ngx_queue_empty(&ngx_http_isapi_woken_queue);

    if (ngx_queue_empty(&ctx->woken)) {
        ngx_queue_insert_tail(&ngx_http_isapi_woken_queue, &ctx->woken);
    }

    ngx_thread_mutex_unlock(&ngx_http_isapi_woken_mutex, ngx_cycle->log);

    if (first && write(ngx_http_isapi_waker->fd, &one, sizeof(one)) < 0) {
        /* the counter is full: the event loop is awake already */
    }
}


/* The event loop is done with ctx's hand-overs. */
static void
ngx_http_isapi_unqueue(ngx_http_isapi_ctx_t *ctx)
{
    ngx_thread_mutex_lock(&ngx_http_isapi_woken_mutex, ngx_cycle->log);

    if (!ngx_queue_empty(&ctx->woken)) {
        ngx_queue_remove(&ctx->woken);
        ngx_queue_init(&ctx->woken);
    }

    ngx_thread_mutex_unlock(&ngx_http_isapi_woken_mutex, ngx_cycle->log);
}


static int
ngx_http_isapi_pool_head(void *data, isapi_answer *head)
{
    ngx_http_isapi_ctx_t  *ctx = data;

    int  rc;

    ngx_thread_mutex_lock(&ctx->mutex, ngx_cycle->log);

    rc = ctx->aborted ? -1 : 0;

    if (rc == 0) {
        /* handed over with the first bytes */
        ctx->head = *head;
        ctx->head_ready = 1;
    }

    ngx_thread_mutex_unlock(&ctx->mutex, ngx_cycle->log);

    if (rc != 0) {
        isapi_answer_release(head);
    }

    return rc;
}


/* Called with ctx->mutex held: whether the pool thread writes `size`
 * bytes to the temporary file itself. */
static ngx_uint_t
ngx_http_isapi_thread_spills(ngx_http_isapi_ctx_t *ctx, size_t size)
{
    return ctx->spill_fd != NGX_INVALID_FILE
           && (off_t) size <= ctx->spill_limit - ctx->spill_end;
}


/*
 * The worker's pool threads write temporary files one at a time, the
 * oldest call first. Writing files is work for the CPU: 32 threads at it
 * together would starve the event loop of it and finish their calls all
 * at the end, while the requests queued behind them wait for a thread.
 * One at a time leaves a CPU to the event loop, and the oldest call first
 * frees its thread soonest.
 */
static void
ngx_http_isapi_take_turn(ngx_http_isapi_ctx_t *ctx)
{
    ngx_queue_t           *q;
    ngx_http_isapi_ctx_t  *waiting;

    ngx_thread_mutex_lock(&ngx_http_isapi_turn_mutex, ngx_cycle->log);

    if (ngx_http_isapi_turn_taken) {
        for (q = ngx_queue_last(&ngx_http_isapi_turn_queue);
             q != ngx_queue_sentinel(&ngx_http_isapi_turn_queue);
             q = ngx_queue_prev(q))
        {
            waiting = ngx_queue_data(q, ngx_http_isapi_ctx_t, turn);
            if (waiting->call_number < ctx->call_number) {
                break;
            }
        }

        ngx_queue_insert_after(q, &ctx->turn);

        while (!ctx->has_turn) {
            ngx_thread_cond_wait(&ctx->turn_given, &ngx_http_isapi_turn_mutex,
                                 ngx_cycle->log);
        }

        ctx->has_turn = 0;
    }

    ngx_http_isapi_turn_taken = 1;

    ngx_thread_mutex_unlock(&ngx_http_isapi_turn_mutex, ngx_cycle->log);
}


/* Hands the turn to the oldest call waiting for it. */
static void
ngx_http_isapi_end_turn(void)
{
    ngx_queue_t           *q;
    ngx_http_isapi_ctx_t  *next;

    ngx_thread_mutex_lock(&ngx_http_isapi_turn_mutex, ngx_cycle->log);

    if (ngx_queue_empty(&ngx_http_isapi_turn_queue)) {
        ngx_http_isapi_turn_taken = 0;

    } else {
        q = ngx_queue_head(&ngx_http_isapi_turn_queue);
        ngx_queue_remove(q);
        next = ngx_queue_data(q, ngx_http_isapi_ctx_t, turn);
        next->has_turn = 1;
        ngx_thread_cond_signal(&next->turn_given, ngx_cycle->log);
    }

    ngx_thread_mutex_unlock(&ngx_http_isapi_turn_mutex, ngx_cycle->log);
}


/*
 * Called with ctx->mutex held, on the pool thread: appends the bytes to
 * the temporary file and wakes the event loop to pass them on. The mutex
 * is let go while the file is written, so that the event loop does not
 * wait for the disk.
 */
static int
ngx_http_isapi_pool_spill(ngx_http_isapi_ctx_t *ctx, const char *bytes,
    size_t size)
{
    off_t    end;
    ssize_t  n;

    end = ctx->spill_end;
    ngx_thread_mutex_unlock(&ctx->mutex, ngx_cycle->log);
    ngx_http_isapi_take_turn(ctx);

    while (size > 0) {
        n = pwrite(ctx->spill_fd, bytes, size, end);
        if (n == -1 && ngx_errno == NGX_EINTR) {
            continue;
        }

        if (n <= 0) {
            ngx_log_error(NGX_LOG_CRIT, ngx_cycle->log, n ? ngx_errno : 0,
                          "isapi: writing a temporary file failed");
            ctx->run_failed = 1;
            break;
        }

        bytes += n;
        size -= n;
        end += n;
    }

    ngx_http_isapi_end_turn();
    ngx_thread_mutex_lock(&ctx->mutex, ngx_cycle->log);

    ctx->spill_end = end;
    ngx_http_isapi_wake(ctx);

    return size == 0 ? 0 : -1;
}


/* Called with ctx->mutex held: 0 once the event loop has taken it all or
 * it is in the temporary file. */
static int
ngx_http_isapi_hand_over(ngx_http_isapi_ctx_t *ctx, const char *bytes,
    size_t size)
{
    int  rc;

    if (ngx_http_isapi_thread_spills(ctx, size)) {
        return ngx_http_isapi_pool_spill(ctx, bytes, size);
    }

    ctx->bytes = bytes;
    ctx->left = size;
    ngx_http_isapi_wake(ctx);

    while (ctx->left > 0 && !ctx->aborted) {
        ngx_thread_cond_wait(&ctx->taken, &ctx->mutex, ngx_cycle->log);
    }

    if (ctx->returned > 0 && !ctx->aborted) {
        size = ctx->returned;
        ctx->returned = 0;
        return ngx_http_isapi_pool_spill(ctx, ctx->bytes, size);
    }

    rc = ctx->left == 0 && ctx->returned == 0 ? 0 : -1;
    ctx->left = 0;
    ctx->returned = 0;

    return rc;
}


static int
ngx_http_isapi_pool_body(void *data, const char *bytes, size_t size)
{
    ngx_http_isapi_ctx_t  *ctx = data;

    int  rc;

    if (ctx->aborted) {
        return -1;
    }

    /* the gathered bytes are the pool thread's alone until the call ends:
     * a pool thread preempted while holding the mutex would keep the
     * event loop waiting for it */
    if (ctx->gathered_size + size <= NGX_HTTP_ISAPI_BUFFER_SIZE
        && size < NGX_HTTP_ISAPI_BUFFER_SIZE)
    {
        ngx_memcpy(ctx->gathered + ctx->gathered_size, bytes, size);
        ctx->gathered_size += size;
        return 0;
    }

    ngx_thread_mutex_lock(&ctx->mutex, ngx_cycle->log);

    rc = ctx->aborted ? -1 : 0;

    if (rc == 0 && ctx->gathered_size > 0) {
        rc = ngx_http_isapi_hand_over(ctx, (const char *) ctx->gathered,
                                      ctx->gathered_size);
        ctx->gathered_size = 0;
    }

    if (rc == 0 && size >= NGX_HTTP_ISAPI_BUFFER_SIZE) {
        rc = ngx_http_isapi_hand_over(ctx, bytes, size);

    } else if (rc == 0) {
        ngx_memcpy(ctx->gathered + ctx->gathered_size, bytes, size);
        ctx->gathered_size += size;
    }

    ngx_thread_mutex_unlock(&ctx->mutex, ngx_cycle->log);

    return rc;
}


static void
ngx_http_isapi_pool_finish(void *data, int complete)
{
    ngx_http_isapi_ctx_t  *ctx = data;

    ngx_thread_mutex_lock(&ctx->mutex, ngx_cycle->log);

    /* once the file is in use, what the call gathered last goes there too,
     * from here rather than from the event loop */
    if (ctx->gathered_size > 0 && !ctx->aborted
        && ngx_http_isapi_thread_spills(ctx, ctx->gathered_size)
        && ngx_http_isapi_pool_spill(ctx, (const char *) ctx->gathered,
                                     ctx->gathered_size)
           == 0)
    {
        ctx->gathered_size = 0;
    }

    ctx->complete = complete != 0;
    ngx_thread_mutex_unlock(&ctx->mutex, ngx_cycle->log);
}


static int
ngx_http_isapi_pool_gone(void *data)
{
    ngx_http_isapi_ctx_t  *ctx = data;

    int  gone;

    ngx_thread_mutex_lock(&ctx->mutex, ngx_cycle->log);
    gone = ctx->aborted;
    ngx_thread_mutex_unlock(&ctx->mutex, ngx_cycle->log);

    return gone;
}


static void
ngx_http_isapi_thread_handler(void *data, ngx_log_t *log)
{
    ngx_http_isapi_ctx_t  *ctx = data;

    isapi_call  *call;

    /* until the copy is made, the request's memory must stay */
    ngx_thread_mutex_lock(&ctx->mutex, log);
    call = ctx->aborted ? NULL : isapi_call_copy(&ctx->call);
    ngx_thread_mutex_unlock(&ctx->mutex, log);

    ctx->in_module = 1;

    if (call == NULL || isapi_call_run(ctx->module, call, &ctx->sink) != 0) {
        ctx->run_failed = 1;
    }
}


/* Makes the pool thread's writes fail from now on. */
static void
ngx_http_isapi_abort(ngx_http_isapi_ctx_t *ctx)
{
    ctx->failed = 1;

    ngx_thread_mutex_lock(&ctx->mutex, ngx_cycle->log);
    ctx->aborted = 1;
    ngx_thread_cond_signal(&ctx->taken, ngx_cycle->log);
    ngx_thread_mutex_unlock(&ctx->mutex, ngx_cycle->log);
}


/*
 * The memory buffers are full: from now on the pool thread writes what
 * they cannot take to the temporary file itself, through a descriptor of
 * its own, since the worker closes the file when it gives the request up.
 */
static ngx_int_t
ngx_http_isapi_let_thread_spill(ngx_http_request_t *r,
    ngx_http_isapi_ctx_t *ctx)
{
    ngx_fd_t                    fd;
    ngx_temp_file_t            *tf;
    ngx_http_isapi_loc_conf_t  *ilcf;

    tf = ngx_http_isapi_temp_file(r, ctx);
    if (tf == NULL) {
        return NGX_ERROR;
    }

    if (tf->file.fd == NGX_INVALID_FILE) {
        if (ngx_create_temp_file(&tf->file, tf->path, tf->pool, tf->persistent,
                                 tf->clean, tf->access)
            != NGX_OK)
        {
            return NGX_ERROR;
        }

        ngx_log_error(tf->log_level, r->connection->log, 0, "%s %V",
                      tf->warn, &tf->file.name);
    }

    fd = dup(tf->file.fd);
    if (fd == NGX_INVALID_FILE) {
        ngx_log_error(NGX_LOG_CRIT, r->connection->log, ngx_errno,
                      "isapi: dup() of a temporary file failed");
        return NGX_ERROR;
    }

    ilcf = ngx_http_get_module_loc_conf(r, ngx_http_isapi_module);

    ngx_thread_mutex_lock(&ctx->mutex, r->connection->log);
    ctx->spill_fd = fd;
    ctx->spill_end = tf->offset;
    ctx->spill_limit = ilcf->max_temp_file_size;
    ngx_thread_mutex_unlock(&ctx->mutex, r->connection->log);

    return NGX_OK;
}


/* Moves what the pool thread has handed over to nginx. */
static void
ngx_http_isapi_pump(ngx_http_isapi_ctx_t *ctx)
{
    off_t                      spill_end;
    size_t                     left, posted, turn;
    ngx_int_t                  rc;
    const char                *bytes;
    isapi_answer               head;
    ngx_connection_t          *c;
    ngx_http_request_t        *r;
    ngx_http_core_loc_conf_t  *clcf;
    ngx_http_isapi_loc_conf_t *ilcf;

    r = ctx->request;
    c = r->connection;

    ngx_thread_mutex_lock(&ctx->mutex, c->log);

    if (ctx->head_ready) {
        head = ctx->head;
        ngx_memzero(&ctx->head, sizeof(isapi_answer));
        ctx->head_ready = 0;
        ngx_thread_mutex_unlock(&ctx->mutex, c->log);

        rc = ngx_http_isapi_send_head(r, ctx, &head);
        if (rc == NGX_ERROR || rc > NGX_OK) {
            ngx_http_isapi_abort(ctx);
            return;
        }

        ngx_thread_mutex_lock(&ctx->mutex, c->log);
    }

    /* a write handed over stays as it is until all of it is taken, and
     * only this thread aborts; one handed over after this look is the
     * next wake-up's */
    bytes = ctx->bytes;
    posted = ctx->left;
    spill_end = ctx->spill_end;
    ngx_thread_mutex_unlock(&ctx->mutex, c->log);

    if (!ctx->head_sent || ctx->failed) {
        return;
    }

    /* what the pool thread wrote to the temporary file comes before what
     * it hands over after */
    if (ctx->temp_file && spill_end > ctx->temp_file->offset
        && ngx_http_isapi_add_spilled(r, ctx, spill_end) != NGX_OK)
    {
        ngx_http_isapi_abort(ctx);
        return;
    }

    /* a buffer's worth a turn: a big write to a client that does not read
     * goes to the temporary file over several turns of the event loop,
     * not all in one while the worker's other requests wait */
    turn = ngx_min(posted, NGX_HTTP_ISAPI_BUFFER_SIZE);
    left = turn;

    if (ngx_http_isapi_output(r, ctx, &bytes, &left, 1) != NGX_OK) {
        ngx_http_isapi_abort(ctx);
        return;
    }

    ilcf = ngx_http_get_module_loc_conf(r, ngx_http_isapi_module);

    if (left > 0 && ctx->thread_spills && ctx->spill_fd == NGX_INVALID_FILE
        && (off_t) (posted - turn + left) <= ilcf->max_temp_file_size
        && ngx_http_isapi_let_thread_spill(r, ctx) != NGX_OK)
    {
        ngx_http_isapi_abort(ctx);
        return;
    }

    if (posted > 0) {
        ngx_thread_mutex_lock(&ctx->mutex, c->log);
        ctx->bytes = bytes;
        ctx->left = posted - turn + left;
        if (ctx->left > 0 && ngx_http_isapi_thread_spills(ctx, ctx->left)) {
            ctx->returned = ctx->left;
            ctx->left = 0;
        }

        if (ctx->left == 0) {
            ngx_thread_cond_signal(&ctx->taken, c->log);

        } else if (left == 0) {
            /* the rest at the next turn */
            ngx_http_isapi_wake(ctx);
        }
        ngx_thread_mutex_unlock(&ctx->mutex, c->log);
    }

    if (r != c->data) {
        return;
    }

    /* as ngx_http_writer: send_timeout runs from the client's last
     * progress, and the timer of a write that limit_rate delays is the
     * write filter's own */
    clcf = ngx_http_get_module_loc_conf(r->main, ngx_http_core_module);

    if (!c->write->delayed) {
        if (ctx->busy != NULL && !c->write->ready) {
            ngx_add_timer(c->write, clcf->send_timeout);

        } else if (c->write->timer_set) {
            ngx_del_timer(c->write);
        }
    }

    if (ngx_handle_write_event(c->write, clcf->send_lowat) != NGX_OK) {
        ngx_http_isapi_abort(ctx);
    }
}


static void
ngx_http_isapi_woken(ngx_event_t *rev)
{
    uint64_t               count;
    ngx_queue_t            taken, *q;
    ngx_connection_t      *client;
    ngx_http_isapi_ctx_t  *ctx;

    if (read(ngx_http_isapi_waker->fd, &count, sizeof(count)) < 0) {
        /* nothing new: a wakeup already taken */
    }

    /* only the requests queued by now: what their threads hand over next
     * waits for the next turn of the event loop, so that calls that write
     * fast to clients that do not read cannot hold the worker */
    ngx_queue_init(&taken);

    ngx_thread_mutex_lock(&ngx_http_isapi_woken_mutex, ngx_cycle->log);

    if (!ngx_queue_empty(&ngx_http_isapi_woken_queue)) {
        ngx_queue_add(&taken, &ngx_http_isapi_woken_queue);
        ngx_queue_init(&ngx_http_isapi_woken_queue);
    }

    ngx_thread_mutex_unlock(&ngx_http_isapi_woken_mutex, ngx_cycle->log);

    /* one at a time: pumping one request may end another */
    for ( ;; ) {
        ngx_thread_mutex_lock(&ngx_http_isapi_woken_mutex, ngx_cycle->log);

        if (ngx_queue_empty(&taken)) {
            ngx_thread_mutex_unlock(&ngx_http_isapi_woken_mutex,
                                    ngx_cycle->log);
            return;
        }

        q = ngx_queue_head(&taken);
        ngx_queue_remove(q);
        ngx_queue_init(q);

        ngx_thread_mutex_unlock(&ngx_http_isapi_woken_mutex, ngx_cycle->log);

        ctx = ngx_queue_data(q, ngx_http_isapi_ctx_t, woken);
        client = ctx->request->connection;

        ngx_http_set_log_request(client->log, ctx->request);
        ngx_http_isapi_pump(ctx);
        ngx_http_run_posted_requests(client);
    }
}


/* The worker's eventfd, made for its first call on a thread pool. */
static ngx_int_t
ngx_http_isapi_make_waker(ngx_log_t *log)
{
    int                fd;
    ngx_connection_t  *c;

    if (ngx_http_isapi_waker != NULL) {
        return NGX_OK;
    }

    fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd == -1) {
        ngx_log_error(NGX_LOG_ALERT, log, ngx_errno,
                      "isapi: eventfd() failed");
        return NGX_ERROR;
    }

    c = ngx_get_connection(fd, ngx_cycle->log);
    if (c == NULL) {
        close(fd);
        return NGX_ERROR;
    }

    if (ngx_thread_mutex_create(&ngx_http_isapi_woken_mutex, ngx_cycle->log)
        != NGX_OK)
    {
        ngx_close_connection(c);
        return NGX_ERROR;
    }

    if (ngx_thread_mutex_create(&ngx_http_isapi_turn_mutex, ngx_cycle->log)
        != NGX_OK)
    {
        ngx_thread_mutex_destroy(&ngx_http_isapi_woken_mutex, ngx_cycle->log);
        ngx_close_connection(c);
        return NGX_ERROR;
    }

    ngx_queue_init(&ngx_http_isapi_woken_queue);
    ngx_queue_init(&ngx_http_isapi_turn_queue);

    c->read->handler = ngx_http_isapi_woken;
    c->read->log = c->log;
    c->read->channel = 1;

    if (ngx_handle_read_event(c->read, 0) != NGX_OK) {
        ngx_thread_mutex_destroy(&ngx_http_isapi_woken_mutex, ngx_cycle->log);
        ngx_thread_mutex_destroy(&ngx_http_isapi_turn_mutex, ngx_cycle->log);
        ngx_close_connection(c);
        return NGX_ERROR;
    }

    ngx_http_isapi_waker = c;

    return NGX_OK;
}


/* The client can take more, or has not within send_timeout. */
static void
ngx_http_isapi_writable(ngx_http_request_t *r)
{
    ngx_http_isapi_ctx_t  *ctx;

    ctx = ngx_http_get_module_ctx(r, ngx_http_isapi_module);

    if (r->connection->write->timedout) {
        ngx_log_error(NGX_LOG_INFO, r->connection->log, NGX_ETIMEDOUT,
                      "client timed out");
        r->connection->timedout = 1;
        ngx_http_isapi_abort(ctx);

    } else {
        ngx_http_isapi_pump(ctx);
    }

    if (ctx->done) {
        ngx_http_isapi_end_taken(r, ctx);
    }
}


static void
ngx_http_isapi_free(ngx_http_isapi_ctx_t *ctx)
{

    ngx_thread_cond_destroy(&ctx->taken, ngx_cycle->log);
    ngx_thread_cond_destroy(&ctx->turn_given, ngx_cycle->log);
    ngx_thread_mutex_destroy(&ctx->mutex, ngx_cycle->log);
    isapi_answer_release(&ctx->head);

    if (ctx->spill_fd != NGX_INVALID_FILE) {
        close(ctx->spill_fd);
    }

    if (ctx->gathered) {
        ngx_free(ctx->gathered);
    }

    ngx_free(ctx);
}


/* The request's pool goes, after the pool thread is done with ctx. */
static void
ngx_http_isapi_request_gone(void *data)
{
    ngx_http_isapi_free(data);
}


/*
 * The worker gives the request up while the pool thread may still be in
 * the module: from here on ctx belongs to the thread's completion.
 */
static void
ngx_http_isapi_detach(ngx_http_isapi_ctx_t *ctx)
{
    ngx_http_request_t  *r;

    r = ctx->request;

    ngx_thread_mutex_lock(&ctx->mutex, ngx_cycle->log);
    ctx->aborted = 1;
    ctx->detached = 1;
    ngx_thread_cond_signal(&ctx->taken, ngx_cycle->log);
    ngx_thread_mutex_unlock(&ctx->mutex, ngx_cycle->log);

    if (ctx->timeout.timer_set) {
        ngx_del_timer(&ctx->timeout);
    }

    ngx_http_isapi_unqueue(ctx);

    ctx->request_gone->handler = NULL;
    ctx->abandoned->handler = NULL;
    ctx->request = NULL;

    ngx_http_set_ctx(r, NULL, ngx_http_isapi_module);
    r->write_event_handler = ngx_http_request_empty_handler;
    r->main->blocked--;
}


/* nginx ends the request early: the client went, or the worker quits. */
static void
ngx_http_isapi_abandon(void *data)
{
    ngx_http_isapi_ctx_t  *ctx = data;

    if (!ctx->done) {
        ngx_http_isapi_detach(ctx);
    }
}


static void
ngx_http_isapi_timed_out(ngx_event_t *ev)
{
    ngx_connection_t      *c;
    ngx_http_request_t    *r;
    ngx_http_isapi_ctx_t  *ctx;

    ctx = (ngx_http_isapi_ctx_t *)
              ((u_char *) ev - offsetof(ngx_http_isapi_ctx_t, timeout));
    r = ctx->request;
    c = r->connection;

    ngx_http_set_log_request(c->log, r);
    ngx_log_error(NGX_LOG_ERR, c->log, NGX_ETIMEDOUT,
                  "isapi: the module did not finish within isapi_timeout; "
                  "its answer is discarded");

    ngx_http_isapi_detach(ctx);
    ngx_http_finalize_request(r, ctx->head_sent
                                 ? NGX_ERROR
                                 : NGX_HTTP_GATEWAY_TIME_OUT);
    ngx_http_run_posted_requests(c);
}


/* The pool thread is done: the request ends once all is taken. */
static void
ngx_http_isapi_end_taken(ngx_http_request_t *r, ngx_http_isapi_ctx_t *ctx)
{
    if (ctx->left > 0 && ctx->head_sent && !ctx->failed) {
        return;
    }

    r->write_event_handler = ngx_http_request_empty_handler;

    if (ctx->run_failed && !ctx->failed && ctx->head_sent) {
        ctx->failed = 1;
    }

    ngx_http_isapi_end(r, ctx);
}


static void
ngx_http_isapi_thread_done(ngx_event_t *ev)
{
    ngx_connection_t      *c;
    ngx_http_request_t    *r;
    ngx_http_isapi_ctx_t  *ctx;

    ctx = ev->data;
    ngx_http_isapi_count_running(-1);

    if (ctx->detached) {
        ngx_http_isapi_free(ctx);
        return;
    }

    r = ctx->request;
    c = r->connection;

    ngx_http_set_log_request(c->log, r);

    ctx->done = 1;
    ctx->thread_spills = 0;
    r->main->blocked--;

    /* a wakeup still queued must not reach the request after its end */
    ngx_http_isapi_unqueue(ctx);

    if (ctx->timeout.timer_set) {
        ngx_del_timer(&ctx->timeout);
    }

    /* the head and what the thread gathered last; what does not fit past
     * isapi_max_temp_file_size waits for the client */
    ctx->bytes = (const char *) ctx->gathered;
    ctx->left = ctx->gathered_size;
    ctx->gathered_size = 0;
    ngx_http_isapi_pump(ctx);

    ngx_http_isapi_end_taken(r, ctx);
    ngx_http_run_posted_requests(c);
}


static ngx_int_t
ngx_http_isapi_post(ngx_http_request_t *r, ngx_http_isapi_loc_conf_t *ilcf,
    ngx_http_isapi_ctx_t *ctx)
{
    ngx_thread_task_t   *task;
    ngx_http_cleanup_t  *abandoned;

    /* here, not in the pool thread: the event loop frees it */
    ctx->gathered = ngx_alloc(NGX_HTTP_ISAPI_BUFFER_SIZE, r->connection->log);

    abandoned = ngx_http_cleanup_add(r->main, 0);
    if (abandoned == NULL || ctx->gathered == NULL
        || ngx_http_isapi_make_waker(r->connection->log) != NGX_OK)
    {
        return NGX_ERROR;
    }

    /* nginx's timer code logs the descriptor of an event's connection */
    ctx->timeout.data = r->connection;
    ctx->timeout.handler = ngx_http_isapi_timed_out;
    ctx->timeout.log = r->connection->log;

    task = &ctx->task;
    task->ctx = ctx;
    task->handler = ngx_http_isapi_thread_handler;
    task->event.data = ctx;
    task->event.handler = ngx_http_isapi_thread_done;

    ctx->sink.head = ngx_http_isapi_pool_head;
    ctx->sink.body = ngx_http_isapi_pool_body;
    ctx->sink.finish = ngx_http_isapi_pool_finish;
    ctx->sink.gone = ngx_http_isapi_pool_gone;

    ctx->call_number = ngx_http_isapi_calls++;

    if (ngx_thread_task_post(ilcf->thread_pool, task) != NGX_OK) {
        return NGX_ERROR;
    }

    abandoned->handler = ngx_http_isapi_abandon;
    abandoned->data = ctx;
    ctx->abandoned = abandoned;

    if (ilcf->timeout) {
        ngx_add_timer(&ctx->timeout, ilcf->timeout);
    }

    r->main->blocked++;
    r->write_event_handler = ngx_http_isapi_writable;
    ctx->thread_spills = 1;
    ngx_http_isapi_count_running(1);

    return NGX_OK;
}

#endif


static void
ngx_http_isapi_body_read(ngx_http_request_t *r)
{
    isapi_call                 *call;
    ngx_http_isapi_ctx_t       *ctx;
    ngx_http_isapi_loc_conf_t  *ilcf;
    ngx_http_isapi_main_conf_t *imcf;
    ngx_http_isapi_extension_t *extension;

    ilcf = ngx_http_get_module_loc_conf(r, ngx_http_isapi_module);
    imcf = ngx_http_get_module_main_conf(r, ngx_http_isapi_module);
    extension = imcf->extensions.elts;

#if (NGX_THREADS)
    if (ilcf->thread_pool) {
        ngx_pool_cleanup_t  *cln;

        cln = ngx_pool_cleanup_add(r->pool, 0);
        ctx = ngx_calloc(sizeof(ngx_http_isapi_ctx_t), r->connection->log);
        if (cln == NULL || ctx == NULL) {
            ngx_free(ctx);
            ngx_http_finalize_request(r, NGX_HTTP_INTERNAL_SERVER_ERROR);
            return;
        }

        ctx->spill_fd = NGX_INVALID_FILE;

        if (ngx_thread_mutex_create(&ctx->mutex, r->connection->log) != NGX_OK
            || ngx_thread_cond_create(&ctx->taken, r->connection->log)
               != NGX_OK
            || ngx_thread_cond_create(&ctx->turn_given, r->connection->log)
               != NGX_OK)
        {
            ngx_free(ctx);
            ngx_http_finalize_request(r, NGX_HTTP_INTERNAL_SERVER_ERROR);
            return;
        }

        cln->handler = ngx_http_isapi_request_gone;
        cln->data = ctx;
        ctx->request_gone = cln;
        ngx_queue_init(&ctx->woken);

    } else
#endif
    {
        ctx = ngx_pcalloc(r->pool, sizeof(ngx_http_isapi_ctx_t));
        if (ctx == NULL) {
            ngx_http_finalize_request(r, NGX_HTTP_INTERNAL_SERVER_ERROR);
            return;
        }
    }

    ngx_http_set_ctx(r, ctx, ngx_http_isapi_module);

    ctx->request = r;
    ctx->module = extension[ilcf->extension].loaded;
    ctx->sink.data = ctx;
    ctx->sink.keep_alive = r->keepalive;

    if (ngx_http_isapi_build_request(r, ilcf, ctx) != NGX_OK) {
        ngx_http_finalize_request(r, NGX_HTTP_INTERNAL_SERVER_ERROR);
        return;
    }

#if (NGX_THREADS)
    if (ilcf->thread_pool) {
        if (ngx_http_isapi_post(r, ilcf, ctx) != NGX_OK) {
            ngx_http_finalize_request(r, NGX_HTTP_INTERNAL_SERVER_ERROR);
        }

        return;
    }
#endif

    ctx->sink.head = ngx_http_isapi_loop_head;
    ctx->sink.body = ngx_http_isapi_loop_body;
    ctx->sink.finish = ngx_http_isapi_loop_finish;

    call = isapi_call_copy(&ctx->call);
    if (call != NULL && isapi_call_run(ctx->module, call, &ctx->sink) != 0
        && ctx->head_sent)
    {
        ctx->failed = 1;
    }

    ngx_http_isapi_end(r, ctx);
}


static ngx_int_t
ngx_http_isapi_handler(ngx_http_request_t *r)
{
    ngx_int_t                    rc;
    ngx_http_isapi_loc_conf_t   *ilcf;
    ngx_http_isapi_main_conf_t  *imcf;
    ngx_http_isapi_extension_t  *extension;

    ilcf = ngx_http_get_module_loc_conf(r, ngx_http_isapi_module);
    imcf = ngx_http_get_module_main_conf(r, ngx_http_isapi_module);
    extension = imcf->extensions.elts;

    /* this worker could not load the module, and has said why */
    if (extension[ilcf->extension].loaded == NULL) {
        rc = ngx_http_discard_request_body(r);
        return rc == NGX_OK ? NGX_HTTP_SERVICE_UNAVAILABLE : rc;
    }

    rc = ngx_http_read_client_request_body(r, ngx_http_isapi_body_read);

    if (rc >= NGX_HTTP_SPECIAL_RESPONSE) {
        return rc;
    }

    return NGX_DONE;
}
