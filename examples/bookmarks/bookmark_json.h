/* A bookmark's content as it is stored on the cloud: {"title":"...","url":"..."}. */
#ifndef QUILLET_EXAMPLES_BOOKMARK_JSON_H_
#define QUILLET_EXAMPLES_BOOKMARK_JSON_H_

/* A malloc'ed JSON text, or NULL when out of memory. */
char* bookmark_to_json(const char* title, const char* url);

/* Reads the two members; each *out is malloc'ed ("" when missing). Returns 0, or -1 when
 * the text is not a flat JSON object of strings (outputs are then NULL). */
int bookmark_from_json(const char* json, char** title, char** url);

#endif /* QUILLET_EXAMPLES_BOOKMARK_JSON_H_ */
