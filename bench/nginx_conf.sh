# shellcheck shell=bash
# The nginx every benchmark here compares with: plain static files, a worker per core,
# no access log, sendfile. Sourced by run.sh and native_ab.sh.

# write_nginx_conf DIR PORT ROOT: DIR/nginx.conf serving ROOT on 127.0.0.1:PORT, with its
# pid file, error log and temporary files in DIR (DIR/tmp must exist).
write_nginx_conf() {
  local dir=$1 port=$2 root=$3
  cat >"$dir/nginx.conf" <<CONF
worker_processes auto;
daemon off;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
worker_rlimit_nofile 65536;
events { worker_connections 20000; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  default_type application/octet-stream;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  server {
    listen 127.0.0.1:$port;
    root $root;
  }
}
CONF
}
