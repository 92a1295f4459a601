/* A loadable module that is no OpenSSL provider: it carries no
 * OSSL_provider_init, so a real OpenSSL tool refuses it as a FIPS module. */
int nestbox_not_a_provider(void) { return 42; }
