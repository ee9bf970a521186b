PRAGMA foreign_keys = ON;
BEGIN;
PRAGMA defer_foreign_keys = ON;
CREATE TABLE "a" (
    "id" INTEGER NOT NULL,
    CONSTRAINT "a_pkey" PRIMARY KEY ("id")
);
CREATE TABLE "b" (
    "id" INTEGER NOT NULL,
    "a_id" INTEGER NOT NULL,
    CONSTRAINT "b_pkey" PRIMARY KEY ("id")
);
COMMIT;
