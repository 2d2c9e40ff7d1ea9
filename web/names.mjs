// Where an entry goes below a folder the user chose: the same rules as the
// tool's extraction. Every component must be a plain name; anything that
// could reach outside the folder ('..', '.', empty, a separator or NUL
// inside, a drive) is refused, and the entry is not written.
export function safeComponents(name) {
  if (typeof name !== 'string' || name === '') return null;
  const parts = name.split('/');
  for (const part of parts) {
    if (part === '' || part === '.' || part === '..') return null;
    if (/[\\\0]/.test(part) || /^[A-Za-z]:/.test(part)) return null;
  }
  return parts;
}
