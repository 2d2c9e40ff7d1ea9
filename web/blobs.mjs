// Bytes gathered into a Blob a few MiB at a time: the browser keeps a Blob's
// bytes outside the page's memory, so a large entry or .zip is never held
// whole in it. The bytes are copied as they come, so the caller may reuse
// its buffer at once.
const BLOB_PART = 4 << 20;

export class BlobBuilder {
  #parts = [];
  #staging = new Uint8Array(BLOB_PART);
  #filled = 0;

  add(bytes) {
    for (let at = 0; at < bytes.length;) {
      const size = Math.min(bytes.length - at, BLOB_PART - this.#filled);
      this.#staging.set(bytes.subarray(at, at + size), this.#filled);
      this.#filled += size;
      at += size;
      if (this.#filled === BLOB_PART) this.#seal();
    }
  }

  #seal() {
    if (this.#filled) this.#parts.push(new Blob([this.#staging.subarray(0, this.#filled)]));
    this.#filled = 0;
  }

  blob(type = '') {
    this.#seal();
    return new Blob(this.#parts, { type });
  }
}
