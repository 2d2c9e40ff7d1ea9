/** The qv_status names of the library. */
export type QuorvaneErrorCode =
  | 'QV_E_INVALID' | 'QV_E_OPEN' | 'QV_E_REFUSED' | 'QV_E_DAMAGED' | 'QV_E_READ' | 'QV_E_WRITE'
  | 'QV_E_NO_MEMORY' | 'QV_E_UNSAFE_NAME' | 'QV_E_CANCELLED' | 'QV_E_EXISTS'
  | 'QV_E_ENTRIES_FAILED' | 'QV_E_BUFFER_TOO_SMALL' | 'QV_E_CANNOT_STORE' | 'QV_E_CHANGED'
  | 'QV_E_NOT_FOUND';

/** A failure of the library, with its status and message. */
export class QuorvaneError extends Error {
  readonly name: 'QuorvaneError';
  /** The qv_status name, e.g. 'QV_E_REFUSED'. */
  readonly code: QuorvaneErrorCode;
  /** The qv_status number. */
  readonly status: number;
}

export interface Entry {
  readonly index: number;
  /** UTF-8, '/' separated, no trailing '/'; null when the stored name does not convert. */
  readonly name: string | null;
  /** The stored name: code page 932, '\' separated. */
  readonly nameBytes: Uint8Array;
  readonly kind: 'file' | 'folder';
  readonly size: number;
  readonly storedSize: number;
  /** null when the archive keeps no such time. */
  readonly created: Date | null;
  readonly accessed: Date | null;
  readonly modified: Date | null;
  /** Windows attribute bits (0x01 read-only, 0x02 hidden, 0x04 system, 0x10 folder, 0x20 archive). */
  readonly attributes: number;
  /** The rescale rule of the entry's range coder model. */
  readonly rescaleRule: 'odd' | 'normal';
}

export interface Progress {
  entry: number;
  name: string | null;
  entryDone: number;
  entrySize: number;
  done: number;
  total: number;
}

export interface TestResult {
  index: number;
  name: string | null;
  ok: boolean;
  code: 'QV_OK' | QuorvaneErrorCode;
  message: string;
}

export interface Archive {
  readonly entries: readonly Entry[];
  /** The decoded bytes of an entry, in steps of at most 1 MiB. A byte stream: a
   * BYOB reader has them copied into its own buffer. */
  read(index: number): ReadableStream<Uint8Array>;
  /** The decoded bytes of an entry; a damaged one throws QV_E_DAMAGED. */
  readAll(index: number): Promise<Uint8Array>;
  /** Decodes every entry with the library's test, keeping nothing; `progress`
   * returning false cancels (a Blob's archive in the module's worker: the
   * worker is stopped, its open streams fail, and the next call starts
   * another). */
  test(progress?: (progress: Progress) => boolean | void): Promise<TestResult[]>;
  close(): void;
}

export interface FileToAdd {
  /** UTF-8, '/' separated; a trailing '/' makes a folder. */
  name: string;
  data?: Uint8Array | ArrayBuffer | ArrayBufferView | Blob | string;
  modified?: Date | number;
  attributes?: number;
  kind?: 'file' | 'folder';
}

export interface CreateOptions {
  /** Another extractor stub instead of the packaged one. */
  stub?: Uint8Array | ArrayBuffer | Blob;
  /** Every entry's three times. */
  mtime?: Date | number;
}

export declare const Quorvane: {
  /** Hands over the module's .wasm and the stub instead of loading them from beside the module. */
  configure(assets: { wasm?: Uint8Array; stub?: Uint8Array }): void;
  version(): Promise<string>;
  /** Opens and validates an archive; a refused one throws QV_E_REFUSED. In Node
   * also a path (string or file: URL) or an open FileHandle, read where the
   * library asks. A Blob is read in slices too: in a worker by the library
   * itself; elsewhere (a page's main thread, Node) by a worker of the
   * module's own, to which the archive's methods are forwarded. */
  open(source: Uint8Array | ArrayBuffer | Blob | string | URL | { fd: number }): Promise<Archive>;
  /** Makes a self-extracting archive. */
  create(files: FileToAdd[], options?: CreateOptions): Promise<Blob>;
};
export default Quorvane;
