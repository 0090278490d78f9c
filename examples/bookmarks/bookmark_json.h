/* A bookmark's content as it is stored on the cloud: {"title":"...","url":"..."}. */
#ifndef QUILLET_EXAMPLES_BOOKMARK_JSON_H_
#define QUILLET_EXAMPLES_BOOKMARK_JSON_H_

/* A malloc'ed JSON text, or NULL when out of memory. */
char* bookmark_to_json(const char* title, const char* url);

/* Reads the two members of a JSON object; each *out is malloc'ed UTF-8. A member that is
 * missing or null reads as "", a number as its JSON text; other members, of any type, are
 * ignored. Escapes are decoded as JSON has them (a surrogate pair is one character; a lone
 * surrogate becomes U+FFFD). Returns 0, or -1 (outputs NULL) when the text is not a JSON
 * object or title or url is a boolean, an object or an array. */
int bookmark_from_json(const char* json, char** title, char** url);

#endif /* QUILLET_EXAMPLES_BOOKMARK_JSON_H_ */
