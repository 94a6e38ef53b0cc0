-- breaks stations older than: 2
-- Each row keeps its identity (the values no other row of its batch has), so
-- that a unit read on any station is known as that row's; and how its last
-- units failed, so that a row failing the same way on unit after unit is set
-- aside for every station.

-- identity: the row's values no other row of its batch has, by their keys;
-- NULL for a row imported before, until the upgrade gives it one (a row
-- whose values other rows all share keeps none). fail_count: how
-- many units in a row failed it at fail_step with fail_message.
ALTER TABLE line_rows
    ADD COLUMN IF NOT EXISTS identity jsonb,
    ADD COLUMN IF NOT EXISTS fail_step text,
    ADD COLUMN IF NOT EXISTS fail_message text,
    ADD COLUMN IF NOT EXISTS fail_count integer NOT NULL DEFAULT 0;

-- The claim that takes a unit's own row comes with version 3.
DROP FUNCTION IF EXISTS line_claim(text, text, text, double precision);

-- Keeps a unit's result and, if the caller still holds the row's lease,
-- settles the row, in one transaction: passed; set aside once p_row_tries
-- units in a row failed it at the same step with the same message; else
-- waiting again. Answers whether the row was settled. p_row NULL: a unit
-- that failed before it took a row.
DROP FUNCTION IF EXISTS line_record(text, integer, bigint, text, text, boolean, text, boolean, json);
CREATE OR REPLACE FUNCTION line_record(p_batch text, p_row integer, p_generation bigint, p_station text,
                            p_fixture text, p_passed boolean, p_failed_step text,
                            p_message text, p_row_tries integer, p_entry json)
RETURNS boolean
LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
DECLARE
    v_batch bigint;
    v_settled boolean := false;
BEGIN
    SELECT id INTO v_batch FROM line_batches WHERE name = p_batch;
    IF v_batch IS NULL THEN
        RAISE EXCEPTION 'batch % does not exist', p_batch USING ERRCODE = '22023';
    END IF;
    IF p_row IS NOT NULL THEN
        WITH counted AS (
            SELECT r.row_no,
                   CASE WHEN p_passed THEN 0
                        WHEN r.fail_count > 0 AND r.fail_step IS NOT DISTINCT FROM p_failed_step
                             AND r.fail_message IS NOT DISTINCT FROM p_message
                        THEN r.fail_count + 1 ELSE 1 END AS fails
              FROM line_rows r
             WHERE r.batch_id = v_batch AND r.row_no = p_row)
        UPDATE line_rows r
           SET state = CASE WHEN p_passed THEN 'passed'
                            WHEN k.fails >= p_row_tries THEN 'set_aside' ELSE 'waiting' END,
               fail_count = k.fails,
               fail_step = CASE WHEN p_passed THEN NULL ELSE p_failed_step END,
               fail_message = CASE WHEN p_passed THEN NULL ELSE p_message END,
               holder_station = NULL, holder_fixture = NULL, lease_end = NULL
          FROM counted k
         WHERE r.batch_id = v_batch AND r.row_no = k.row_no AND r.state = 'leased'
           AND r.generation = p_generation AND r.holder_station = p_station
           AND r.holder_fixture = p_fixture;
        v_settled := FOUND;
    END IF;
    INSERT INTO line_results (batch_id, row_no, station, fixture, passed, failed_step,
                              generation, settled, entry)
    VALUES (v_batch, p_row, p_station, p_fixture, p_passed, p_failed_step, p_generation,
            v_settled, p_entry);
    UPDATE line_stations SET last_seen = clock_timestamp()
     WHERE name = p_station AND last_seen < clock_timestamp() - interval '1 second';
    RETURN v_settled;
END
$$;

REVOKE ALL ON FUNCTION line_record(text, integer, bigint, text, text, boolean, text, text,
                                   integer, json) FROM PUBLIC;
