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
 *   isapi_hold_limit SIZE;    http: answers up to SIZE body bytes are held
 *                             whole and checked before they leave
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
#endif
} ngx_http_isapi_loc_conf_t;


typedef struct {
    isapi_module       *module;
    isapi_request       request;
    isapi_answer        answer;
    ngx_int_t           served;          /* -1 failed, 0 running, 1 done */
    /* the module's Content-Type line, its value shown to nginx's filters */
    ngx_table_elt_t    *content_type;
} ngx_http_isapi_ctx_t;


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
#endif

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
#endif

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


static ngx_int_t
ngx_http_isapi_collect_body(ngx_http_request_t *r, isapi_request *request)
{
    ngx_uint_t         n;
    ngx_buf_t         *b;
    ngx_chain_t       *cl;
    isapi_body_piece  *pieces;

    request->body = NULL;
    request->body_count = 0;

    if (r->request_body == NULL) {
        return NGX_OK;
    }

    n = 0;
    for (cl = r->request_body->bufs; cl; cl = cl->next) {
        n++;
    }

    if (n == 0) {
        return NGX_OK;
    }

    pieces = ngx_pcalloc(r->pool, n * sizeof(isapi_body_piece));
    if (pieces == NULL) {
        return NGX_ERROR;
    }

    n = 0;
    for (cl = r->request_body->bufs; cl; cl = cl->next) {
        b = cl->buf;

        if (b->in_file) {
            pieces[n].data = NULL;
            pieces[n].len = (size_t) (b->file_last - b->file_pos);
            pieces[n].fd = b->file->fd;
            pieces[n].offset = b->file_pos;

        } else {
            pieces[n].data = (const char *) b->pos;
            pieces[n].len = (size_t) (b->last - b->pos);
        }

        if (pieces[n].len > 0) {
            n++;
        }
    }

    request->body = pieces;
    request->body_count = n;

    return NGX_OK;
}


static ngx_int_t
ngx_http_isapi_build_request(ngx_http_request_t *r,
    ngx_http_isapi_loc_conf_t *ilcf, isapi_request *request)
{
    u_char            *addr;
    ngx_str_t          local;
    ngx_connection_t  *c;

    static ngx_str_t   software = ngx_string(NGINX_VER);

    c = r->connection;

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
    request->keep_alive = r->keepalive;
    request->https = 0;

#if (NGX_HTTP_SSL)
    request->https = c->ssl != NULL;
#endif

    if (ngx_http_isapi_collect_headers(r, request) != NGX_OK) {
        return NGX_ERROR;
    }

    return ngx_http_isapi_collect_body(r, request);
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


static ngx_int_t
ngx_http_isapi_is(const isapi_field *field, const char *name)
{
    size_t  len = ngx_strlen(name);

    return field->name.len == len
           && ngx_strncasecmp((u_char *) field->name.data, (u_char *) name,
                              len) == 0;
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

    if (ctx->content_type != NULL) {
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


/*
 * Hands the module's answer to nginx: status, header lines through the
 * table above, and the body. 1xx, 204 and 304 answers carry no length,
 * nor does an answer to HEAD whose length the module did not tell.
 */
static ngx_int_t
ngx_http_isapi_send(ngx_http_request_t *r, ngx_http_isapi_ctx_t *ctx)
{
    ngx_int_t         rc;
    ngx_uint_t        i, bodiless;
    ngx_buf_t        *b;
    ngx_chain_t       out;
    isapi_answer     *answer;
    ngx_table_elt_t  *h;

    if (ctx->served != 1) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "isapi: the request could not be run (no memory or "
                      "an unreadable request body)");
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    answer = &ctx->answer;

    /* the host core's own 500 has no header line but a zero length */
    if (answer->status == 500
        && (answer->header_count == 0
            || (answer->header_count == 1
                && ngx_http_isapi_is(&answer->headers[0], "Content-Length"))))
    {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "isapi: the module sent no valid status and header "
                      "block, or none; answering 500");
    }

    r->headers_out.status = answer->status;
    r->disable_not_modified = 1;

    if (!ngx_http_isapi_standard_status(answer->status, &answer->status_line)) {
        r->headers_out.status_line.data = (u_char *) answer->status_line.data;
        r->headers_out.status_line.len = answer->status_line.len;
    }

    bodiless = answer->status < 200 || answer->status == 204
               || answer->status == 304;

    for (i = 0; i < answer->header_count; i++) {
        h = ngx_http_isapi_add_header(r, &answer->headers[i]);
        if (h == NULL
            || ngx_http_isapi_translate(r, ctx, h) != NGX_OK)
        {
            return NGX_HTTP_INTERNAL_SERVER_ERROR;
        }
    }

    if (bodiless) {
        if (r->headers_out.content_length) {
            r->headers_out.content_length->hash = 0;
            r->headers_out.content_length = NULL;
        }

        r->headers_out.content_length_n = -1;

    } else if (answer->framing == ISAPI_FRAMING_UNKNOWN) {
        r->headers_out.content_length_n = -1;

    } else {
        r->headers_out.content_length_n = (off_t) answer->content_length;
    }

    if (!answer->keep_conn) {
        r->keepalive = 0;
    }

    if (answer->body.len == 0) {
        r->header_only = 1;
    }

    rc = ngx_http_send_header(r);

    if (rc == NGX_ERROR || rc > NGX_OK || r->header_only) {
        return rc;
    }

    b = ngx_calloc_buf(r->pool);
    if (b == NULL) {
        return NGX_ERROR;
    }

    b->pos = (u_char *) answer->body.data;
    b->last = b->pos + answer->body.len;
    b->memory = 1;
    b->last_buf = (r == r->main && answer->complete) ? 1 : 0;
    b->last_in_chain = 1;
    b->flush = !answer->complete;

    out.buf = b;
    out.next = NULL;

    rc = ngx_http_output_filter(r, &out);

    if (!answer->complete) {
        /* The client must see the answer cut short, not complete. */
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "isapi: the module's answer ended short of its length");
        return NGX_ERROR;
    }

    return rc;
}


static void
ngx_http_isapi_release(void *data)
{
    ngx_http_isapi_ctx_t  *ctx = data;

    isapi_answer_release(&ctx->answer);
}


static void
ngx_http_isapi_serve(ngx_http_isapi_ctx_t *ctx)
{
    ctx->served = isapi_serve(ctx->module, &ctx->request, &ctx->answer) == 0
                  ? 1 : -1;
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


static void
ngx_http_isapi_thread_handler(void *data, ngx_log_t *log)
{
    ngx_http_isapi_serve(data);
}


/*
 * Resumes the request once the module is done. Write events that come
 * while it runs are ignored: only the completion handler clears r->aio,
 * and until it has run the task, which lives in the request's pool, is
 * still in the thread pool's hands.
 */
static void
ngx_http_isapi_resume(ngx_http_request_t *r)
{
    ngx_http_isapi_ctx_t  *ctx;

    if (r->aio) {
        return;
    }

    ctx = ngx_http_get_module_ctx(r, ngx_http_isapi_module);

    r->write_event_handler = ngx_http_request_empty_handler;
    ngx_http_finalize_request(r, ngx_http_isapi_send(r, ctx));
}


static void
ngx_http_isapi_thread_done(ngx_event_t *ev)
{
    ngx_connection_t    *c;
    ngx_http_request_t  *r;

    r = ev->data;
    c = r->connection;

    ngx_http_set_log_request(c->log, r);

    r->main->blocked--;
    r->aio = 0;
    ngx_http_isapi_count_running(-1);

    r->write_event_handler(r);
    ngx_http_run_posted_requests(c);
}


static ngx_int_t
ngx_http_isapi_post(ngx_http_request_t *r, ngx_thread_pool_t *pool,
    ngx_http_isapi_ctx_t *ctx)
{
    ngx_thread_task_t  *task;

    task = ngx_thread_task_alloc(r->pool, 0);
    if (task == NULL) {
        return NGX_ERROR;
    }

    task->ctx = ctx;
    task->handler = ngx_http_isapi_thread_handler;
    task->event.data = r;
    task->event.handler = ngx_http_isapi_thread_done;

    if (ngx_thread_task_post(pool, task) != NGX_OK) {
        return NGX_ERROR;
    }

    r->main->blocked++;
    r->aio = 1;
    r->write_event_handler = ngx_http_isapi_resume;
    ngx_http_isapi_count_running(1);

    return NGX_OK;
}

#endif


static void
ngx_http_isapi_body_read(ngx_http_request_t *r)
{
    ngx_pool_cleanup_t         *cln;
    ngx_http_isapi_ctx_t       *ctx;
    ngx_http_isapi_loc_conf_t  *ilcf;
    ngx_http_isapi_main_conf_t *imcf;
    ngx_http_isapi_extension_t *extension;

    ilcf = ngx_http_get_module_loc_conf(r, ngx_http_isapi_module);
    imcf = ngx_http_get_module_main_conf(r, ngx_http_isapi_module);
    extension = imcf->extensions.elts;

    ctx = ngx_pcalloc(r->pool, sizeof(ngx_http_isapi_ctx_t));
    if (ctx == NULL) {
        ngx_http_finalize_request(r, NGX_HTTP_INTERNAL_SERVER_ERROR);
        return;
    }

    ngx_http_set_ctx(r, ctx, ngx_http_isapi_module);

    cln = ngx_pool_cleanup_add(r->pool, 0);
    if (cln == NULL) {
        ngx_http_finalize_request(r, NGX_HTTP_INTERNAL_SERVER_ERROR);
        return;
    }

    cln->handler = ngx_http_isapi_release;
    cln->data = ctx;

    ctx->module = extension[ilcf->extension].loaded;

    if (ngx_http_isapi_build_request(r, ilcf, &ctx->request) != NGX_OK) {
        ngx_http_finalize_request(r, NGX_HTTP_INTERNAL_SERVER_ERROR);
        return;
    }

#if (NGX_THREADS)
    if (ilcf->thread_pool) {
        if (ngx_http_isapi_post(r, ilcf->thread_pool, ctx) != NGX_OK) {
            ngx_http_finalize_request(r, NGX_HTTP_INTERNAL_SERVER_ERROR);
        }

        return;
    }
#endif

    ngx_http_isapi_serve(ctx);
    ngx_http_finalize_request(r, ngx_http_isapi_send(r, ctx));
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
