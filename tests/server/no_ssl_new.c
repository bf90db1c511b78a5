/* Preloaded into qsnserver, makes every SSL_new fail as it does when memory
   runs out: the server must then close the connection, not serve it. */
#include <stddef.h>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

SSL *SSL_new(SSL_CTX *ctx) {
  (void)ctx;
  return NULL;
}
