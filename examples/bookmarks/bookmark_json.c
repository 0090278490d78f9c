#include "bookmark_json.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct Buffer {
  char* data;
  size_t size;
  size_t capacity;
} Buffer;

static int put(Buffer* b, const char* text, size_t n) {
  if (b->size + n + 1 > b->capacity) {
    size_t capacity = b->capacity ? b->capacity * 2 : 64;
    while (capacity < b->size + n + 1) capacity *= 2;
    char* grown = realloc(b->data, capacity);
    if (!grown) return -1;
    b->data = grown;
    b->capacity = capacity;
  }
  memcpy(b->data + b->size, text, n);
  b->size += n;
  b->data[b->size] = '\0';
  return 0;
}

static int put_string(Buffer* b, const char* s) {
  if (put(b, "\"", 1)) return -1;
  for (; *s; ++s) {
    const unsigned char c = (unsigned char)*s;
    char esc[8];
    if (c == '"' || c == '\\') {
      esc[0] = '\\';
      esc[1] = (char)c;
      if (put(b, esc, 2)) return -1;
    } else if (c < 0x20) {
      snprintf(esc, sizeof esc, "\\u%04x", c);
      if (put(b, esc, 6)) return -1;
    } else if (put(b, s, 1)) {
      return -1;
    }
  }
  return put(b, "\"", 1);
}

char* bookmark_to_json(const char* title, const char* url) {
  Buffer b = {0};
  if (put(&b, "{\"title\":", 9) || put_string(&b, title) || put(&b, ",\"url\":", 7) ||
      put_string(&b, url) || put(&b, "}", 1)) {
    free(b.data);
    return NULL;
  }
  return b.data;
}

static const char* skip_space(const char* p) {
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') ++p;
  return p;
}

static int append_utf8(Buffer* b, unsigned cp) {
  char out[4];
  size_t n;
  if (cp < 0x80) {
    out[0] = (char)cp;
    n = 1;
  } else if (cp < 0x800) {
    out[0] = (char)(0xC0 | (cp >> 6));
    out[1] = (char)(0x80 | (cp & 0x3F));
    n = 2;
  } else {
    out[0] = (char)(0xE0 | (cp >> 12));
    out[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
    out[2] = (char)(0x80 | (cp & 0x3F));
    n = 3;
  }
  return put(b, out, n);
}

/* Reads a JSON string starting at its opening quote; *end is set past the closing quote.
 * A \u escape of a surrogate becomes U+FFFD: this sample writes its own texts unescaped,
 * so only foreign data can carry one. Returns NULL for malformed text. */
static char* read_string(const char* p, const char** end) {
  if (*p != '"') return NULL;
  ++p;
  Buffer b = {0};
  if (put(&b, "", 0)) return NULL;
  while (*p && *p != '"') {
    if (*p != '\\') {
      if (put(&b, p++, 1)) goto fail;
      continue;
    }
    ++p;
    char c = *p++;
    const char* simple = strchr("\"\\/bfnrt", c);
    if (c && simple) {
      static const char map[] = "\"\\/\b\f\n\r\t";
      if (put(&b, &map[simple - "\"\\/bfnrt"], 1)) goto fail;
    } else if (c == 'u') {
      unsigned cp = 0;
      for (int i = 0; i < 4; ++i) {
        char h = *p++;
        cp <<= 4;
        if (h >= '0' && h <= '9')
          cp |= (unsigned)(h - '0');
        else if (h >= 'a' && h <= 'f')
          cp |= (unsigned)(h - 'a' + 10);
        else if (h >= 'A' && h <= 'F')
          cp |= (unsigned)(h - 'A' + 10);
        else
          goto fail;
      }
      if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
      if (append_utf8(&b, cp)) goto fail;
    } else {
      goto fail;
    }
  }
  if (*p != '"') goto fail;
  *end = p + 1;
  return b.data;
fail:
  free(b.data);
  return NULL;
}

int bookmark_from_json(const char* json, char** title, char** url) {
  *title = *url = NULL;
  const char* p = skip_space(json ? json : "");
  if (*p++ != '{') return -1;
  p = skip_space(p);
  while (*p && *p != '}') {
    const char* after;
    char* key = read_string(p, &after);
    if (!key) goto fail;
    p = skip_space(after);
    if (*p++ != ':') {
      free(key);
      goto fail;
    }
    char* value = read_string(skip_space(p), &after);
    if (!value) {
      free(key);
      goto fail;
    }
    char** slot = strcmp(key, "title") == 0 ? title : strcmp(key, "url") == 0 ? url : NULL;
    free(key);
    if (slot && !*slot) {
      *slot = value;
    } else {
      free(value);
    }
    p = skip_space(after);
    if (*p == ',')
      p = skip_space(p + 1);
    else if (*p != '}')
      goto fail;
  }
  if (*p != '}') goto fail;
  if (!*title) *title = calloc(1, 1);
  if (!*url) *url = calloc(1, 1);
  return 0;
fail:
  free(*title);
  free(*url);
  *title = *url = NULL;
  return -1;
}
